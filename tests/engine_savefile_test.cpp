// SPDX-License-Identifier: MIT
// The temporary output file and its move onto the output path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/SafeSave.h"
#include "picture/Picture.h"
#include "testsupport.h"
#include "tools/modTools.h"

namespace {

TEST(TempFile, IsANewHiddenNonImageFileBesideTheTarget) {
    TempDir dir;
    mode_t mask = umask(0);
    umask(mask);
    std::string a = createTempFileBeside(dir.file("out.jpg"));
    std::string b = createTempFileBeside(dir.file("out.jpg"));
    ASSERT_FALSE(a.empty());
    EXPECT_NE(a, b);
    EXPECT_EQ(getFilePath(a), dir.path() + "/");
    EXPECT_EQ(getFileName(a).rfind(".pixmill-", 0), 0u) << a;
    EXPECT_TRUE(isRight(a, ".tmp"));
    EXPECT_FALSE(CPicture::isValidFileType(a));
    struct stat info;
    ASSERT_EQ(stat(a.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
    // Outputs get the permissions of any new file, not those of a private temporary one.
    EXPECT_EQ(info.st_mode & 0777, 0666u & ~mask);
}

TEST(TempFile, FailsWhereNoFileCanBeMade) {
    TempDir dir;
    EXPECT_EQ(createTempFileBeside(dir.file("missing/out.jpg")), "");
    ASSERT_TRUE(writeBytes(dir.file("plain"), "x"));
    EXPECT_EQ(createTempFileBeside(dir.file("plain/out.jpg")), "");
}

class Commit : public ::testing::Test {
  protected:
    TempDir dir;
    std::string target = dir.file("out.jpg");
    std::string temp;
    void SetUp() override {
        temp = createTempFileBeside(target);
        ASSERT_TRUE(writeBytes(temp, "new"));
    }
    void TearDown() override { EXPECT_FALSE(FileExist(temp)) << "temporary file left behind"; }
};

TEST_F(Commit, WithoutReplaceMovesOntoAFreeName) {
    EXPECT_EQ(commitTempFile(temp, target, false), CommitResult::Done);
    EXPECT_EQ(readBytes(target), "new");
}

TEST_F(Commit, WithoutReplaceKeepsAFileThatAppearedMeanwhile) {
    ASSERT_TRUE(writeBytes(target, "old"));
    EXPECT_EQ(commitTempFile(temp, target, false), CommitResult::Exists);
    EXPECT_EQ(readBytes(target), "old");
}

TEST_F(Commit, WithoutReplaceKeepsADanglingLink) {
    ASSERT_EQ(symlink(dir.file("nowhere").c_str(), target.c_str()), 0);
    EXPECT_EQ(commitTempFile(temp, target, false), CommitResult::Exists);
    char link[256] = {};
    EXPECT_GT(readlink(target.c_str(), link, sizeof link - 1), 0);
}

TEST_F(Commit, WithReplaceSwapsTheFileInOneStep) {
    ASSERT_TRUE(writeBytes(target, "old"));
    EXPECT_EQ(commitTempFile(temp, target, true), CommitResult::Done);
    EXPECT_EQ(readBytes(target), "new");
}

TEST_F(Commit, WithReplaceNeverRemovesAFolder) {
    ASSERT_TRUE(makeDirectory(target));
    ASSERT_TRUE(writeBytes(target + "/inside", "kept"));
    EXPECT_EQ(commitTempFile(temp, target, true), CommitResult::Failed);
    EXPECT_EQ(readBytes(target + "/inside"), "kept");
}

}  // namespace
