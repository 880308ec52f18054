// SPDX-License-Identifier: MIT
// EXIF block: tag reads and low-byte patches in IFD0, and finding the block in a JPEG file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "picture/Exif.h"
#include "testsupport.h"

namespace {

const int orientationTag = 274;

struct Entry {
    uint16_t tag, type;
    uint32_t count, value;  // a SHORT value goes into the first two bytes of the field
};

std::string u16(uint32_t v, bool be) {
    return be ? std::string{char(v >> 8), char(v)} : std::string{char(v), char(v >> 8)};
}
std::string u32(uint32_t v, bool be) {
    return be ? u16(v >> 16, true) + u16(v, true) : u16(v, false) + u16(v >> 16, false);
}

// Identifier, TIFF header, IFD0 at TIFF offset 8 with `entries` and a zero next-IFD link, then `tail`.
std::string makeBlock(bool be, const std::vector<Entry>& entries, const std::string& tail = "") {
    std::string b = std::string("Exif\0\0", 6) + (be ? "MM" : "II") + u16(42, be) + u32(8, be);
    b += u16(uint32_t(entries.size()), be);
    for (const Entry& e : entries) {
        b += u16(e.tag, be) + u16(e.type, be) + u32(e.count, be);
        b += e.type == 3 ? u16(e.value, be) + std::string(2, '\0') : u32(e.value, be);
    }
    return b + u32(0, be) + tail;
}

Exif withBlock(const std::string& block) {
    Exif exif;
    exif.exifBlock = block;
    exif.loaded = true;
    return exif;
}

// Positions where two blocks of equal length differ.
std::vector<size_t> changedBytes(const std::string& a, const std::string& b) {
    std::vector<size_t> out;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] != b[i]) out.push_back(i);
    return out;
}

// Offset of entry i of IFD0 in a block from makeBlock.
size_t entryPos(size_t i) {
    return 6 + 8 + 2 + 12 * i;
}

}  // namespace

TEST(ExifFields, ShortOrientationInBothByteOrders) {
    for (bool be : {false, true}) {
        SCOPED_TRACE(be ? "big-endian" : "little-endian");
        Exif exif = withBlock(makeBlock(be, {{256, 4, 1, 640}, {orientationTag, 3, 1, 6}}));
        const std::string before = exif.exifBlock;
        EXPECT_EQ(exif.getField(orientationTag), "6");
        EXPECT_EQ(exif.motorolaOrder, be ? 1 : 0);
        EXPECT_EQ(exif.getField(256), "640");
        EXPECT_TRUE(exif.setField(orientationTag, 1));
        EXPECT_EQ(exif.getField(orientationTag), "1");
        // Only the value's low-order byte changes.
        EXPECT_EQ(changedBytes(before, exif.exifBlock), std::vector<size_t>{entryPos(1) + (be ? 9 : 8)});
    }
}

TEST(ExifFields, ShortReadsOnlyTheFirstTwoValueBytes) {
    std::string block = makeBlock(false, {{orientationTag, 3, 1, 6}});
    block[entryPos(0) + 10] = char(0xFF);
    block[entryPos(0) + 11] = char(0xFF);
    EXPECT_EQ(withBlock(block).getField(orientationTag), "6");
}

TEST(ExifFields, LongPatchTouchesOnlyTheLowByte) {
    for (bool be : {false, true}) {
        SCOPED_TRACE(be ? "big-endian" : "little-endian");
        Exif exif = withBlock(makeBlock(be, {{700, 4, 1, 256}}));
        const std::string before = exif.exifBlock;
        EXPECT_EQ(exif.getField(700), "256");
        EXPECT_TRUE(exif.setField(700, 5));
        EXPECT_EQ(exif.getField(700), "261");
        EXPECT_EQ(changedBytes(before, exif.exifBlock), std::vector<size_t>{entryPos(0) + (be ? 11 : 8)});
        EXPECT_TRUE(exif.setField(700, 0x1234));  // only the low 8 bits are written
        EXPECT_EQ(exif.getField(700), "308");
    }
}

TEST(ExifFields, LongWithTopBitSetIsNegative) {
    EXPECT_EQ(withBlock(makeBlock(false, {{700, 4, 1, 0xFFFFFFFE}})).getField(700), "-2");
    EXPECT_EQ(withBlock(makeBlock(true, {{700, 9, 1, 0x80000000}})).getField(700), "-2147483648");
}

TEST(ExifFields, OnlyIfd0IsSearchedAndTheFirstDuplicateWins) {
    // IFD0 (one entry) points at an EXIF sub-directory right after it that holds the orientation.
    const bool be = false;
    const uint32_t subIfd = 8 + 2 + 12 + 4;
    std::string sub = u16(1, be) + u16(orientationTag, be) + u16(3, be) + u32(1, be) + u16(6, be) +
                      std::string(2, '\0') + u32(0, be);
    Exif exif = withBlock(makeBlock(be, {{34665, 4, 1, subIfd}}, sub));
    const std::string before = exif.exifBlock;
    EXPECT_EQ(exif.getField(orientationTag), "");
    EXPECT_FALSE(exif.setField(orientationTag, 1));
    EXPECT_EQ(exif.exifBlock, before);

    Exif twice = withBlock(makeBlock(true, {{orientationTag, 3, 1, 8}, {orientationTag, 3, 1, 3}}));
    EXPECT_EQ(twice.getField(orientationTag), "8");
    EXPECT_TRUE(twice.setField(orientationTag, 1));
    EXPECT_EQ(twice.getField(orientationTag), "1");
    EXPECT_EQ(twice.exifBlock[entryPos(1) + 9], char(3));
}

TEST(ExifFields, ShortAndMalformedBlocksGiveNothing) {
    // 18 bytes: nothing is read at all, even with a valid-looking directory.
    std::string block18 = makeBlock(false, {}).substr(0, 18);
    Exif exif = withBlock(block18);
    EXPECT_EQ(exif.getField(0), "");
    EXPECT_FALSE(exif.setField(0, 1));

    // IFD offsets that are negative, past the end, or leave the count's second byte outside.
    const std::string good = makeBlock(false, {{orientationTag, 3, 1, 6}});
    for (uint32_t ifd : {0x80000000u, 0xFFFFFFF0u, uint32_t(good.size()), uint32_t(good.size() - 7)}) {
        SCOPED_TRACE(ifd);
        std::string b = good;
        b.replace(10, 4, u32(ifd, false));
        Exif bad = withBlock(b);
        EXPECT_EQ(bad.getField(orientationTag), "");
        EXPECT_FALSE(bad.setField(orientationTag, 1));
        EXPECT_EQ(bad.exifBlock, b);
    }

    // Found by fuzzing: an offset of -6 puts the directory over the identifier and the TIFF header,
    // where an entry's value field is the IFD offset itself and a patch rewrote it.
    std::string overlap = std::string("\0\xFA\0+\0\0\0\xFF\xFF\xFF", 10) + u32(0xFFFFFFFA, true) +
                          std::string(7, '\0') + "\x22\x12\xEE\xFA\xFF";
    ASSERT_EQ(overlap.size(), 26u);
    Exif overlapping = withBlock(overlap);
    EXPECT_EQ(overlapping.getField(43), "");
    EXPECT_FALSE(overlapping.setField(43, 0));
    EXPECT_EQ(overlapping.exifBlock, overlap);

    // The directory count in the block's last two bytes: no entry fits, whatever it claims.
    std::string endCount =
        std::string("Exif\0\0II*\0", 10) + u32(13, false) + std::string(5, '\0') + u16(5, false);
    ASSERT_EQ(endCount.size(), 21u);
    EXPECT_EQ(withBlock(endCount).getField(0), "");

    // An entry cut by the block's end ends the search, even for a tag that would follow.
    std::string cut = makeBlock(false, {{1, 3, 1, 1}, {orientationTag, 3, 1, 6}});
    cut.resize(entryPos(1) + 11);
    EXPECT_EQ(withBlock(cut).getField(1), "1");
    EXPECT_EQ(withBlock(cut).getField(orientationTag), "");
    EXPECT_FALSE(withBlock(cut).setField(orientationTag, 1));
}

TEST(ExifFields, AnyByteOrderMarkOtherThanIIsBigEndian) {
    std::string block = makeBlock(true, {{orientationTag, 3, 1, 6}});
    block[6] = 'x';
    Exif exif = withBlock(block);
    EXPECT_EQ(exif.getField(orientationTag), "6");
    EXPECT_EQ(exif.motorolaOrder, 1);
}

TEST(ExifReaders, BothOrdersAndOutOfRangePositions) {
    Exif exif;
    const std::string bytes("\x01\x02\x03\x84", 4);
    EXPECT_EQ(exif.readLong(bytes, 0), int32_t(0x84030201));
    EXPECT_EQ(exif.readShort(bytes, 2), 0x8403);
    exif.motorolaOrder = 1;
    EXPECT_EQ(exif.readLong(bytes, 0), 0x01020384);
    EXPECT_EQ(exif.readShort(bytes, 2), 0x0384);
    EXPECT_EQ(exif.readShort(bytes, 3), 0);
    EXPECT_EQ(exif.readLong(bytes, 1), 0);
    EXPECT_EQ(exif.readLong(bytes, -1), 0);
}

// ---- Finding the block in a file ----

namespace {

std::string segment(uint8_t code, const std::string& payload) {
    return std::string{char(0xFF), char(code)} + u16(uint32_t(payload.size() + 2), true) + payload;
}

const std::string soi("\xFF\xD8", 2);
const std::string jfif = segment(0xE0, std::string("JFIF\0\1\1\0\0\1\0\1\0\0", 14));
const std::string sos = segment(0xDA, std::string("\1\1\0\0\x3F\0", 6)) + std::string("\x12\x34\xFF\xD9", 4);

Exif loadFrom(const std::string& fileBytes) {
    TempDir dir;
    const std::string path = dir.file("in.jpg");
    EXPECT_TRUE(writeBytes(path, fileBytes));
    Exif exif;
    exif.loadFromJPG(path);
    return exif;
}

}  // namespace

TEST(ExifLoad, TakesTheFirstExifApp1BeforeTheScan) {
    const std::string block = makeBlock(true, {{orientationTag, 3, 1, 6}});
    const std::string xmp = std::string("http://ns.adobe.com/xap/1.0/\0<x/>", 33);
    const std::string other = makeBlock(false, {{orientationTag, 3, 1, 3}});
    Exif exif = loadFrom(soi + jfif + segment(0xE1, xmp) + segment(0xE1, "Exif") + segment(0xE1, block) +
                         segment(0xE1, other) + sos);
    EXPECT_TRUE(exif.loaded);
    EXPECT_EQ(exif.exifBlock, block);
    EXPECT_EQ(exif.getField(orientationTag), "6");

    // Fill bytes before a marker and standalone markers are stepped over; a bare identifier counts.
    Exif bare =
        loadFrom(soi + "\xFF\xFF" + jfif + "\xFF\xD0" + segment(0xE1, std::string("Exif\0\0", 6)) + sos);
    EXPECT_TRUE(bare.loaded);
    EXPECT_EQ(bare.exifBlock, std::string("Exif\0\0", 6));

    // The longest payload one segment can hold.
    std::string longest = block + std::string(65533 - block.size(), 'z');
    EXPECT_EQ(loadFrom(soi + segment(0xE1, longest) + sos).exifBlock, longest);
}

TEST(ExifLoad, MissingTruncatedOrMalformedGivesNoBlock) {
    const std::string app1 = segment(0xE1, makeBlock(false, {{orientationTag, 3, 1, 6}}));
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"after the scan", soi + jfif + sos + app1},
        {"no start of image", jfif + app1 + sos},
        {"truncated payload", soi + app1.substr(0, app1.size() - 3)},
        {"truncated length", soi + app1.substr(0, 3)},
        {"length below 2", soi + std::string("\xFF\xE0\x00\x01", 4) + app1},
        {"garbage between segments", soi + jfif + "x" + app1},
        {"segment length runs past the end", soi + std::string("\xFF\xE2\xFF\xFF", 4) + app1},
        {"empty file", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        Exif exif = loadFrom(c.second);
        EXPECT_FALSE(exif.loaded);
        EXPECT_TRUE(exif.exifBlock.empty());
    }
}

TEST(ExifLoad, AnUnreadableFileClearsAnEarlierBlock) {
    Exif exif = withBlock(makeBlock(false, {}));
    exif.loadFromJPG("/nonexistent/pixmill/in.jpg");
    EXPECT_FALSE(exif.loaded);
    EXPECT_TRUE(exif.exifBlock.empty());
}

// Writes exif_fuzz's seeds when PIXMILL_WRITE_FUZZ_SEEDS names the corpus folder (fuzz/corpus).
// Each seed is the tag (2 bytes, little-endian) and the value (1 byte) followed by the block.
TEST(FuzzSeeds, WrittenOnRequest) {
    const char* folder = getenv("PIXMILL_WRITE_FUZZ_SEEDS");
    if (!folder) GTEST_SKIP() << "set PIXMILL_WRITE_FUZZ_SEEDS=fuzz/corpus to write the seeds";
    const std::string out = std::string(folder) + "/exif_fuzz/";
    const std::string orientation1 = std::string("\x12\x01\x01", 3);
    const uint32_t subIfd = 8 + 2 + 12 + 4;
    const std::string sub = u16(1, true) + u16(orientationTag, true) + u16(3, true) + u32(1, true) +
                            u16(6, true) + std::string(2, '\0') + u32(0, true);
    ASSERT_TRUE(writeBytes(out + "little_short",
                           orientation1 + makeBlock(false, {{256, 4, 1, 640}, {orientationTag, 3, 1, 6}})));
    ASSERT_TRUE(writeBytes(out + "big_short", orientation1 + makeBlock(true, {{orientationTag, 3, 1, 8}})));
    ASSERT_TRUE(writeBytes(out + "big_long",
                           std::string("\xBC\x02\x05", 3) + makeBlock(true, {{700, 4, 1, 0x80000100}})));
    ASSERT_TRUE(writeBytes(out + "duplicates", orientation1 + makeBlock(false, {{orientationTag, 3, 1, 3},
                                                                                {orientationTag, 3, 1, 6}})));
    ASSERT_TRUE(
        writeBytes(out + "sub_directory", orientation1 + makeBlock(true, {{34665, 4, 1, subIfd}}, sub)));
}
