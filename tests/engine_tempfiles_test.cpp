// SPDX-License-Identifier: MIT
// The temporary files in flight: what a front end removes when it must end with jobs still saving.
// One test, because the removal closes the list for the rest of the process.
#include <dirent.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "engine/SafeSave.h"
#include "picture/Picture.h"
#include "testsupport.h"
#include "tools/modTools.h"

namespace {

std::vector<std::string> listFolder(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (const struct dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

std::vector<std::string> hiddenFiles(const TempDir& dir) {
    std::vector<std::string> found;
    for (const std::string& name : listFolder(dir.path()))
        if (name.rfind(".pixmill-", 0) == 0) found.push_back(name);
    return found;
}

TEST(TempFilesInFlight, OnlyUncommittedFilesAreRemovedAndNoneAreMadeAfterwards) {
    TempDir dir;
    // Workers creating and committing at once never lose or keep an entry.
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&dir, w] {
            for (int i = 0; i < 25; ++i) {
                const std::string target = dir.file("out" + std::to_string(w) + "_" + std::to_string(i));
                const std::string temp = createTempFileBeside(target);
                ASSERT_FALSE(temp.empty());
                if (i % 5 == 0)
                    discardTempFile(temp);
                else
                    ASSERT_EQ(commitTempFile(temp, target, false), CommitResult::Done);
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    EXPECT_TRUE(hiddenFiles(dir).empty());

    const std::string first = createTempFileBeside(dir.file("a.jpg"));
    FILE* stream = nullptr;
    const std::string second = createTempFileBeside(dir.file("b.jpg"), nullptr, &stream);
    ASSERT_TRUE(stream != nullptr);
    ASSERT_EQ(hiddenFiles(dir).size(), 2u);
    EXPECT_EQ(removeTempFilesInFlight(), 2u);
    // A job that goes on writing its open file after the removal never brings the name back.
    CPicture picture;
    picture.create(40, 30);
    EXPECT_TRUE(picture.saveToBMP(stream));
    EXPECT_TRUE(hiddenFiles(dir).empty());
    EXPECT_EQ(listFolder(dir.path()).size(), 80u);  // the committed outputs stay
    // A job still saving after the removal can make no new one.
    EXPECT_EQ(createTempFileBeside(dir.file("c.jpg")), "");
    EXPECT_EQ(commitTempFile(first, dir.file("a.jpg"), false), CommitResult::Failed);
    EXPECT_FALSE(FileExist(dir.file("a.jpg")));
}

}  // namespace
