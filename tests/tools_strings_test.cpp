// SPDX-License-Identifier: MIT
// String, conversion and element-extraction helpers.
#include <gtest/gtest.h>

#include "tools/modTools.h"

using Pieces = std::vector<std::string>;

TEST(Strings, TrimRemovesOnlySpacesAndNuls) {
    EXPECT_EQ(strtrim("  a b  "), "a b");
    EXPECT_EQ(strtrim("\ta\t"), "\ta\t");
    EXPECT_EQ(strtrim("    "), "");
    EXPECT_EQ(strtrim(std::string("\0 x\0", 4)), "x");
}

TEST(Strings, ReplaceNeverRescansReplacedText) {
    EXPECT_EQ(strreplace("aaa", "aa", "b"), "ba");
    EXPECT_EQ(strreplace("aaa", "aa", "aa"), "aaa");
    EXPECT_EQ(strreplace("%SRC%-%SRC%", "%SRC%", "%SRC%%SRC%"), "%SRC%%SRC%-%SRC%%SRC%");
    std::string s = "x.y.z";
    strReplace_inplace(s, ".", "");
    EXPECT_EQ(s, "xyz");
    strReplace_inplace(s, "", "q");  // an empty pattern must terminate and change nothing
    EXPECT_EQ(s, "xyz");
}

TEST(Strings, SplitKeepsInnerEmptyPiecesAndDropsTheLast) {
    EXPECT_EQ(strsplit("a,,b,", ","), (Pieces{"a", "", "b"}));
    EXPECT_EQ(strsplit("a,,b,", ",", 1), (Pieces{"a", ",b,"}));
    EXPECT_EQ(strsplit("", ","), (Pieces{""}));
    EXPECT_EQ(strsplit("1024x768", "x"), (Pieces{"1024", "768"}));
    EXPECT_EQ(strsplit("1024x", "x"), (Pieces{"1024"}));
    EXPECT_EQ(strsplit("x768", "x"), (Pieces{"", "768"}));
    EXPECT_EQ(strsplit("1024X768", "x"), (Pieces{"1024X768"}));
}

TEST(Strings, NumbersReadFromTheStartAndOverflowToZero) {
    EXPECT_EQ(strToInt("2147483647"), 2147483647);
    EXPECT_EQ(strToInt("2147483648"), 0);
    EXPECT_EQ(strToInt("-2147483649"), 0);
    EXPECT_EQ(strToInt("-17"), -17);
    EXPECT_EQ(strToInt(""), 0);
    EXPECT_EQ(strToInt("abc"), 0);
    EXPECT_EQ(strToInt("  42px"), 42);
    EXPECT_EQ(strToInt("12.7"), 12);
    EXPECT_EQ(strToInt("+5"), 5);
    EXPECT_DOUBLE_EQ(strToDbl("12.7"), 12.7);
    EXPECT_DOUBLE_EQ(strToDbl("50%"), 50.0);
    EXPECT_DOUBLE_EQ(strToDbl("1.5e2"), 150.0);
    EXPECT_DOUBLE_EQ(strToDbl("inf"), 0.0);
    EXPECT_DOUBLE_EQ(strToDbl("nan"), 0.0);
    EXPECT_DOUBLE_EQ(strToDbl("1e999"), 0.0);
}

TEST(Strings, WordsCaseAndPadding) {
    EXPECT_TRUE(strToBool("YES"));
    EXPECT_TRUE(strToBool("Ja"));
    EXPECT_TRUE(strToBool("1"));
    EXPECT_FALSE(strToBool("on"));
    EXPECT_FALSE(strToBool(" true"));
    EXPECT_TRUE(strIsEqualCI("JPG", "jpg"));
    EXPECT_FALSE(strIsEqualCI("jpg", "jpgx"));
    EXPECT_FALSE(strIsEqualCI("\xC3\x84", "\xC3\xA4"));  // only ASCII folds
    EXPECT_TRUE(isRightCI("photo.JPEG", ".jpeg"));
    EXPECT_FALSE(isRight("photo.JPEG", ".jpeg"));
    EXPECT_FALSE(isRight("g", ".jpeg"));
    EXPECT_EQ(prePad("7", 3, "0"), "007");
    EXPECT_EQ(prePad("abcd", 3, "0"), "abcd");
    EXPECT_EQ(prePad("7", 3, "ab"), "abab7");
    EXPECT_EQ(prePad("7", 3, ""), "7");
    EXPECT_EQ(intToStr(int32_t(-2147483647 - 1)), "-2147483648");
    EXPECT_EQ(intToStr(uint64_t(18446744073709551615ull)), "18446744073709551615");
}

TEST(Elements, ContentIsCutFromTheTextAtTheFoldedPosition) {
    std::string text = "<CONFIG><RESOLUTION>800x600</RESOLUTION></CONFIG>";
    std::string lower;
    uint64_t end = 0;
    EXPECT_EQ(getXMLElementCIFast(text, lower, "resolution", 0, end), "800x600");
    EXPECT_EQ(lower, strtolower(text));  // an empty folded copy is filled
    EXPECT_EQ(end, text.find("</CONFIG>"));

    std::string rotate = "<Rotate>Portrait</Rotate>", lowerRotate;
    EXPECT_EQ(getXMLElementCIFast(rotate, lowerRotate, "rotate", ""), "Portrait");
}

TEST(Elements, MissingEmptyAndRepeatedElements) {
    std::string text = "<overwrite>yes", lower;
    uint64_t end = 77;
    EXPECT_EQ(getXMLElementCIFast(text, lower, "overwrite", 0, end), "");
    EXPECT_EQ(end, 77u);
    EXPECT_EQ(getXMLElementCIFast(text, lower, "overwrite", "no"), "no");

    std::string empty = "<cropmode></cropmode>", lowerEmpty;
    EXPECT_EQ(getXMLElementCIFast(empty, lowerEmpty, "cropmode", "nocrop"), "nocrop");

    std::string twice = "<a>1</a><a>2</a>", lowerTwice;
    EXPECT_EQ(getXMLElementCIFast(twice, lowerTwice, "a", 0, end), "1");
    EXPECT_EQ(getXMLElementCIFast(twice, lowerTwice, "a", end, end), "2");
    EXPECT_EQ(getXMLElementCIFast(twice, lowerTwice, "a", 1000, end), "");

    std::string spaced = "<name >x</name><name/>", lowerSpaced;
    EXPECT_EQ(getXMLElementCIFast(spaced, lowerSpaced, "name", "d"), "d");
    std::string entity = "<v>&amp; <b></v>", lowerEntity;
    EXPECT_EQ(getXMLElementCIFast(entity, lowerEntity, "v", ""), "&amp; <b>");
}
