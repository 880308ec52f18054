// SPDX-License-Identifier: MIT
// Paths, files, folders, threads and the recursive lock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "testsupport.h"
#include "tools/PlatformIndependent.h"
#include "tools/modTools.h"

TEST(Paths, NameAndFolderSplitAtTheLastSlash) {
    EXPECT_EQ(getFileName("/Users/a/pics/cat.jpg"), "cat.jpg");
    EXPECT_EQ(getFilePath("/Users/a/pics/cat.jpg"), "/Users/a/pics/");
    EXPECT_EQ(getFileName("cat.jpg"), "cat.jpg");
    EXPECT_EQ(getFilePath("cat.jpg"), "");
    EXPECT_EQ(getFileName("/tmp/dir/"), "");
    EXPECT_EQ(getFilePath("/tmp/dir/"), "/tmp/dir/");
    EXPECT_EQ(getFileName("a\\b.jpg"), "a\\b.jpg");
}

TEST(Files, ExistenceTests) {
    TempDir dir;
    std::string file = dir.file("f.txt");
    ASSERT_TRUE(writeBytes(file, std::string("x")));
    EXPECT_TRUE(DirExist(file));  // an existence test, not a folder test
    EXPECT_TRUE(FileExist(file));
    EXPECT_TRUE(FileExist(dir.path()));  // a folder opens for reading
    EXPECT_FALSE(FileExist(dir.file("missing")));
    EXPECT_FALSE(DirExist(dir.file("missing")));
}

TEST(Files, FoldersAreMadeOneLevelOrWithParents) {
    TempDir dir;
    EXPECT_FALSE(makeDirectory(dir.file("a/b")));
    EXPECT_TRUE(makeDirectory(dir.file("a")));
    EXPECT_FALSE(makeDirectory(dir.file("a")));  // already there
    EXPECT_TRUE(makeDirectories(dir.file("x/y/z")));
    EXPECT_TRUE(DirExist(dir.file("x/y/z")));
    EXPECT_TRUE(makeDirectories(dir.file("x/y/z")));
    EXPECT_TRUE(deleteFile(dir.file("x/y/z")));  // remove() also takes empty folders
    EXPECT_FALSE(deleteFile(dir.file("x/y/z")));
}

TEST(Files, OpenReportsTheSizeAndRewinds) {
    TempDir dir;
    std::string file = dir.file("f.bin");
    ASSERT_TRUE(writeBytes(file, std::string("hello world")));
    uint64_t size = 0;
    FILE* f = fileOpen(file, "rb", &size);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(size, 11u);
    EXPECT_EQ(fgetc(f), 'h');
    fclose(f);
    EXPECT_EQ(fileOpen(dir.file("missing"), "rb"), nullptr);
}

TEST(Files, ReadContents) {
    TempDir dir;
    std::string bytes("a\0b\r\nc", 6);
    ASSERT_TRUE(writeBytes(dir.file("f"), bytes));
    EXPECT_EQ(readFileContents(dir.file("f")), bytes);
    EXPECT_EQ(readFileContents(dir.file("f"), 2), bytes.substr(2));
    EXPECT_EQ(readFileContents(dir.file("f"), 6), "");
    ASSERT_TRUE(writeBytes(dir.file("empty"), std::string()));
    EXPECT_EQ(readFileContents(dir.file("empty")), "");
    EXPECT_EQ(readFileContents(dir.file("missing")), "");
    EXPECT_EQ(readFileContents(dir.path()), "");
}

TEST(System, CoresAndHome) {
    EXPECT_GE(getNbCores(), 1);
    EXPECT_FALSE(getUserFolder().empty());
}

namespace {
void* countUp(void* arg) {
    static_cast<std::atomic<int>*>(arg)->fetch_add(1);
    return nullptr;
}
}  // namespace

TEST(System, ThreadsStartAndTheLockIsRecursive) {
    std::atomic<int> counter{0};
    ThreadHandle* stored = nullptr;
    ThreadHandle* handle = createThread(countUp, &counter, 0, "TaskThread", &stored);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(stored, handle);
    pthread_join(handle->id, nullptr);
    delete handle;
    EXPECT_EQ(counter.load(), 1);

    CRITICAL_SECTION lock;
    InitializeCriticalSection(&lock);
    EnterCriticalSection(&lock);
    EXPECT_EQ(pthread_mutex_trylock(&lock), 0);  // the same thread may lock again
    LeaveCriticalSection(&lock);
    LeaveCriticalSection(&lock);
    DeleteCriticalSection(&lock);
}
