// SPDX-License-Identifier: MIT
// Temporary output files and their atomic move onto the output path.
#include "engine/SafeSave.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "tools/modTools.h"

namespace {

// The temporary files that exist now: a file is entered while the lock is held from its creation
// on, so removeAll never misses one that a worker has just made.
class TempFileRegistry {
  public:
    // Creates path exclusively and enters it; -1 with errno set when it cannot be created, or
    // with EPERM once everything was removed.
    int create(const std::string& path) {
        std::lock_guard<std::mutex> hold(lock);
        if (closed) {
            errno = EPERM;
            return -1;
        }
        // 0666 lets the user's umask give the output the permissions of any new file.
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) files.insert(path);
        return fd;
    }
    void forget(const std::string& path) {
        std::lock_guard<std::mutex> hold(lock);
        files.erase(path);
    }
    size_t removeAll() {
        std::lock_guard<std::mutex> hold(lock);
        closed = true;
        size_t removed = 0;
        for (const std::string& path : files) removed += unlink(path.c_str()) == 0 ? 1 : 0;
        files.clear();
        return removed;
    }

  private:
    std::mutex lock;
    std::set<std::string> files;
    bool closed = false;
};

// Never destroyed: workers may still save while the program ends.
TempFileRegistry& registry() {
    static TempFileRegistry* shared = new TempFileRegistry;
    return *shared;
}

// Six characters of [0-9a-z] from a per-thread generator, so workers never share state.
std::string randomTag() {
    static const char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    thread_local std::mt19937_64 generator(std::random_device{}() ^
                                           std::hash<std::thread::id>()(std::this_thread::get_id()));
    std::string tag(6, '0');
    for (char& c : tag) c = kAlphabet[generator() % 36];
    return tag;
}

bool pathExists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

// Flushes the file's data to the disk before it takes the place of an older file, so a crash
// right after the rename cannot leave an empty file where a good one was.
bool syncFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

bool unsupported(int error) {
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP || error == EPERM ||
           error == EMLINK;
}

// Moves temp onto target unless target exists; falls back from the atomic system call to a hard
// link, which fails with EEXIST just as atomically, and last to a check followed by a rename.
CommitResult moveWithoutReplacing(const std::string& temp, const std::string& target) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return CommitResult::Done;
    if (errno == EEXIST) return CommitResult::Exists;
    if (!unsupported(errno)) return CommitResult::Failed;
#elif defined(__APPLE__) && defined(RENAME_EXCL)
    if (renamex_np(temp.c_str(), target.c_str(), RENAME_EXCL) == 0) return CommitResult::Done;
    if (errno == EEXIST) return CommitResult::Exists;
    if (!unsupported(errno)) return CommitResult::Failed;
#endif
    if (link(temp.c_str(), target.c_str()) == 0) {
        unlink(temp.c_str());
        return CommitResult::Done;
    }
    if (errno == EEXIST) return CommitResult::Exists;
    if (!unsupported(errno)) return CommitResult::Failed;
    // File systems without hard links (FAT, some network shares): a short race remains here.
    if (pathExists(target)) return CommitResult::Exists;
    return rename(temp.c_str(), target.c_str()) == 0 ? CommitResult::Done : CommitResult::Failed;
}

}  // namespace

std::string createTempFileBeside(const std::string& target, int* error, FILE** stream) {
    const std::string folder = getFilePath(target);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = folder + ".pixmill-" + randomTag() + ".tmp";
        const int fd = registry().create(path);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            break;
        }
        if (!stream) {
            ::close(fd);
            return path;
        }
        *stream = fdopen(fd, "wb");
        if (*stream) return path;
        const int fdopenError = errno;
        ::close(fd);
        discardTempFile(path);
        errno = fdopenError;
        break;
    }
    if (error) *error = errno;
    return std::string();
}

CommitResult commitTempFile(const std::string& temp, const std::string& target, bool replace, int* error) {
    CommitResult result;
    if (replace) {
        bool ok = !pathExists(target) || syncFile(temp);
        result = ok && rename(temp.c_str(), target.c_str()) == 0 ? CommitResult::Done : CommitResult::Failed;
    } else {
        result = moveWithoutReplacing(temp, target);
    }
    if (result == CommitResult::Failed && error) *error = errno;
    if (result != CommitResult::Done) unlink(temp.c_str());
    registry().forget(temp);
    return result;
}

void discardTempFile(const std::string& temp) {
    unlink(temp.c_str());
    registry().forget(temp);
}

size_t removeTempFilesInFlight() {
    return registry().removeAll();
}

bool replaceFileContents(const std::string& target, const std::string& text, unsigned mode, std::string& why) {
    std::string path = target;
    if (char* real = realpath(target.c_str(), nullptr)) {
        path = real;
        free(real);
    }
    int error = 0;
    FILE* stream = nullptr;
    const std::string temp = createTempFileBeside(path, &error, &stream);
    if (temp.empty()) {
        why = "could not write " + target + ": " + strerror(error);
        return false;
    }
    bool ok = fwrite(text.data(), 1, text.size(), stream) == text.size();
    if (mode) ok = fchmod(fileno(stream), mode) == 0 && ok;
    error = errno;
    ok = fclose(stream) == 0 && ok;
    if (!ok) {
        discardTempFile(temp);
        why = "could not write " + target + ": " + strerror(error ? error : EIO);
        return false;
    }
    if (commitTempFile(temp, path, true, &error) != CommitResult::Done) {
        why = "could not replace " + target + ": " + strerror(error);
        return false;
    }
    return true;
}
