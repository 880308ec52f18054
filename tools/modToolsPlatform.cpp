// SPDX-License-Identifier: MIT
// POSIX half of the support library: paths, files, folders, home folder, processors, threads, locks.
#include <errno.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <new>
#include <thread>

#include "tools/PlatformIndependent.h"
#include "tools/modTools.h"

std::string getFileName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string getFilePath(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool FileExist(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    fclose(f);
    return true;
}

bool DirExist(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool makeDirectory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

bool makeDirectories(const std::string& path) {
    if (path.empty()) return false;
    if (DirExist(path)) return true;
    std::string parent = getFilePath(path);
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    // A parent that cannot be made leaves its own errno: the reason this one cannot be made.
    if (!parent.empty() && parent != "/" && parent != path && !DirExist(parent) && !makeDirectories(parent))
        return false;
    if (makeDirectory(path)) return true;
    const int error = errno;
    if (DirExist(path)) return true;
    errno = error;
    return false;
}

bool deleteFile(const std::string& path, bool /*flag*/) { return remove(path.c_str()) == 0; }

FILE* fileOpen(const std::string& path, const char* mode, uint64_t* size) {
    FILE* f = fopen(path.c_str(), mode);
    if (!f) return nullptr;
    if (size) {
        fseeko(f, 0, SEEK_END);
        off_t end = ftello(f);
        *size = end < 0 ? 0 : static_cast<uint64_t>(end);
        if (std::string(mode) != "ab") fseeko(f, 0, SEEK_SET);
    }
    return f;
}

std::string readFileContents(const std::string& path, uint64_t start) {
    FILE* f = fileOpen(path, "rb");
    if (!f) return std::string();
    std::string contents;
    struct stat info;
    // Only regular files have a size to read; a folder opens for reading but has no contents.
    if (fstat(fileno(f), &info) == 0 && S_ISREG(info.st_mode)) {
        uint64_t size = static_cast<uint64_t>(info.st_size);
        if (start < size && size - start <= contents.max_size() &&
            fseeko(f, static_cast<off_t>(start), SEEK_SET) == 0) {
            try {
                contents.assign(static_cast<size_t>(size - start), '\0');
                contents.resize(fread(&contents[0], 1, contents.size(), f));
            } catch (const std::bad_alloc&) {
                contents.clear();
            }
        }
    }
    fclose(f);
    return contents;
}

std::string getUserFolder() {
    if (struct passwd* entry = getpwuid(getuid())) {
        if (entry->pw_dir) return entry->pw_dir;
    }
    const char* home = getenv("HOME");
    return home ? home : "";
}

int32_t getNbCores() {
    unsigned n = std::thread::hardware_concurrency();
    return n < 1 ? 1 : static_cast<int32_t>(n);
}

ThreadHandle* createThread(ThreadFunction fn, void* arg, int /*priority*/, const std::string& name,
                           ThreadHandle** handleOut) {
    ThreadHandle* handle = new (std::nothrow) ThreadHandle();
    if (!handle || pthread_create(&handle->id, nullptr, fn, arg) != 0) {
        delete handle;
        if (handleOut) *handleOut = nullptr;
        return nullptr;
    }
#ifdef __linux__
    pthread_setname_np(handle->id, name.substr(0, 15).c_str());
#else
    (void)name;
#endif
    if (handleOut) *handleOut = handle;
    return handle;
}

void detachThread(ThreadHandle* handle) {
    if (!handle) return;
    pthread_detach(handle->id);
    delete handle;
}

void InitializeCriticalSection(CRITICAL_SECTION* lock) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(lock, &attr);
    pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(CRITICAL_SECTION* lock) { pthread_mutex_destroy(lock); }
void EnterCriticalSection(CRITICAL_SECTION* lock) { pthread_mutex_lock(lock); }
void LeaveCriticalSection(CRITICAL_SECTION* lock) { pthread_mutex_unlock(lock); }
