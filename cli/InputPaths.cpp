// SPDX-License-Identifier: MIT
// Turning the command line's paths and file lists into the list of files offered to the engine.
#include "cli/InputPaths.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "picture/Picture.h"
#include "tools/modTools.h"

namespace {

using FileId = std::pair<dev_t, ino_t>;

std::string currentFolder() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

bool fileIdOf(const std::string& path, FileId& id) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return false;
    id = FileId(info.st_dev, info.st_ino);
    return true;
}

std::vector<std::string> sortedEntries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const struct dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string joined(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The folder part of a relative path, without its trailing "/" ("" for a bare name).
std::string folderOf(const std::string& relative) {
    std::string folder = getFilePath(relative);
    if (!folder.empty()) folder.pop_back();
    return folder;
}

// An absolute path with each ".." segment taken out together with the segment before it (none
// above the root), as the path would read without links.
std::string withoutParentSegments(const std::string& path) {
    if (path.find("/..") == std::string::npos) return path;  // no ".." segment: nothing to take out
    std::vector<std::string> kept;
    for (const std::string& segment : strsplit(path.substr(1), "/")) {
        if (segment != "..")
            kept.push_back(segment);
        else if (!kept.empty())
            kept.pop_back();
    }
    std::string out;
    for (const std::string& segment : kept) out += "/" + segment;
    return out.empty() ? "/" : out;
}

// A supported file found by a walk: its path, and its path below the folder walked.
struct FoundFile {
    std::string path;
    std::string below;
};

class FolderWalk {
  public:
    FolderWalk(const WalkRules& walkRules, std::vector<FoundFile>& found) : rules(walkRules), files(found) {
        FileId id;
        if (!rules.skipFolderPath.empty() && fileIdOf(rules.skipFolderPath, id)) skipped = id;
    }

    // Appends the supported files under folder; folders reached twice (links) are walked once.
    void walk(const std::string& folder, const std::string& below) {
        FileId id;
        if (!fileIdOf(folder, id) || !visited.insert(id).second) return;
        for (const std::string& name : sortedEntries(folder)) {
            const std::string path = joined(folder, name);
            struct stat info;
            if (stat(path.c_str(), &info) != 0) continue;
            if (S_ISDIR(info.st_mode)) {
                if (name == rules.skipFolderName || FileId(info.st_dev, info.st_ino) == skipped) continue;
                walk(path, joined(below, name));
            } else if (S_ISREG(info.st_mode) && CPicture::isValidFileType(path)) {
                files.push_back(FoundFile{path, joined(below, name)});
            }
        }
    }

  private:
    const WalkRules& rules;
    std::vector<FoundFile>& files;
    std::set<FileId> visited;
    FileId skipped{0, 0};
};

std::string absoluteFrom(const std::string& path, const std::string& here);

// The type of the absolute paths of a list, which comes folder by folder. The folder of the last
// path stays open and a path in it is looked up by its last segment, without walking the folder's
// path again. Once kReadAfter paths in a row came from one folder, its entries are read as well,
// at most kEntriesPerPath of them for each path met there so far (a short list never pays for a
// huge folder): a name they give as a regular file or a folder needs no lookup at all. A link,
// an entry of unknown type and a name not read yet are looked up; a folder that cannot be opened
// leaves it to the plain stat(). Only st_mode is filled.
class ListStat {
  public:
    ListStat() = default;
    ListStat(const ListStat&) = delete;
    ListStat& operator=(const ListStat&) = delete;
    ~ListStat() { leaveFolder(); }

    int operator()(const std::string& path, struct stat& info) {
        const size_t slash = path.rfind('/');
        // A path too long for stat() stays refused as it was.
        if (slash == std::string::npos || slash + 1 == path.size() || path.size() >= PATH_MAX)
            return stat(path.c_str(), &info);
        const size_t folderLength = slash == 0 ? 1 : slash;
        if (!known || folder.size() != folderLength || path.compare(0, folderLength, folder) != 0) {
            leaveFolder();
            folder.assign(path, 0, folderLength);
            fd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            known = true;
        }
        if (fd < 0) return stat(path.c_str(), &info);
        const char* name = path.c_str() + slash + 1;
        if (++pathsHere >= kReadAfter && typeFromEntries(name, info.st_mode)) return 0;
        return fstatat(fd, name, &info, 0);
    }

  private:
    static const size_t kReadAfter = 32;
    static const size_t kEntriesPerPath = 16;
    std::string folder;
    int fd = -1;
    bool known = false;
    size_t pathsHere = 0;
    DIR* entries = nullptr;  // the folder's entries as far as read, once kReadAfter paths came
    bool allRead = false;
    size_t entriesRead = 0;
    std::unordered_map<std::string, mode_t> types;

    void leaveFolder() {
        if (entries) closedir(entries);
        if (fd >= 0) close(fd);
        entries = nullptr;
        fd = -1;
        pathsHere = entriesRead = 0;
        allRead = false;
        types.clear();
    }

    // True with mode set when the entries read so far (read further within the allowance) give
    // the name as a regular file or a folder.
    bool typeFromEntries(const char* name, mode_t& mode) {
        for (;;) {
            const auto found = types.find(name);
            if (found != types.end()) {
                mode = found->second;
                return true;
            }
            if (!readMore()) return false;
        }
    }

    // Reads the next entries up to the allowance; false when none could be read.
    bool readMore() {
        if (allRead || entriesRead >= pathsHere * kEntriesPerPath) return false;
        if (!entries) {
            const int listed = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            entries = listed >= 0 ? fdopendir(listed) : nullptr;
            if (!entries) {
                if (listed >= 0) close(listed);
                allRead = true;
                return false;
            }
        }
        const size_t allowed = pathsHere * kEntriesPerPath;
        const size_t before = entriesRead;
        while (entriesRead < allowed) {
            const struct dirent* entry = readdir(entries);
            if (!entry) {
                allRead = true;
                break;
            }
            ++entriesRead;
            if (entry->d_type == DT_REG) types.emplace(entry->d_name, S_IFREG);
            if (entry->d_type == DT_DIR) types.emplace(entry->d_name, S_IFDIR);
        }
        return entriesRead > before;
    }
};

// Builds the list in argument order, keeping only this process's shard.
class InputCollector {
  public:
    InputCollector(const WalkRules& walkRules, size_t arguments) : rules(walkRules), here(currentFolder()) {
        offered.reserve(arguments);
        items.reserve(arguments);
    }

    void take(const std::string& argument);
    std::vector<InputItem> items;

  private:
    const WalkRules& rules;
    const std::string here;
    std::unordered_set<std::string> offered;
    ListStat statOf;

    bool inShard(const std::string& key) const {
        return rules.shardCount <= 1 || shardOf(key, rules.shardCount) == rules.shardIndex;
    }
    void refuse(const std::string& path, const std::string& key, const std::string& reason) {
        if (inShard(key)) items.push_back(InputItem{path, reason, std::string()});
    }
    void offer(const std::string& path, const std::string& key, const std::string& folderBelow) {
        if (inShard(key) && offered.insert(path).second) items.push_back(InputItem{path, "", folderBelow});
    }
    void takeFile(const std::string& path, const std::string& key);
    void takeFolder(const std::string& argument, const std::string& path);
};

// A file named directly is placed by its folder below the current folder. ".." segments are
// resolved first, so that no output folder can climb out of the fixed folder.
void InputCollector::takeFile(const std::string& path, const std::string& key) {
    if (!rules.keepStructure) return offer(path, key, std::string());
    const std::string resolved = withoutParentSegments(path);
    const std::string prefix = here == "/" ? here : here + "/";
    if (resolved.compare(0, prefix.size(), prefix) != 0) {
        return refuse(path, key, "lies outside the current folder, whose tree --keep-structure mirrors");
    }
    offer(path, key, folderOf(resolved.substr(prefix.size())));
}

void InputCollector::takeFolder(const std::string& argument, const std::string& path) {
    std::vector<FoundFile> files;
    FolderWalk(rules, files).walk(path, std::string());
    const bool sharded = rules.shardCount > 1;
    if (files.empty()) return refuse(path, sharded ? shardKey(argument) : "", "holds no image file");
    for (const FoundFile& file : files) {
        offer(file.path, sharded ? shardKey(argument + "/" + file.below) : "",
              rules.keepStructure ? folderOf(file.below) : std::string());
    }
}

void InputCollector::take(const std::string& argument) {
    // The current folder, looked up once for the whole list.
    const std::string path = absoluteFrom(argument, here);
    // The key only matters to a shard.
    const std::string key = rules.shardCount > 1 ? shardKey(argument) : std::string();
    struct stat info;
    if (statOf(path, info) != 0) {
        refuse(path, key, "no such file or folder");
    } else if (S_ISREG(info.st_mode)) {
        takeFile(path, key);
    } else if (!S_ISDIR(info.st_mode)) {
        refuse(path, key, "is not a regular file");
    } else if (!rules.recursive) {
        refuse(path, key, "is a folder (use -r to resize the images inside it)");
    } else {
        takeFolder(argument, path);
    }
}

// The segments of path without empty and "." ones, joined by single slashes.
std::string cleanSegments(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const size_t length = end - start;
        if (length > 0 && !(length == 1 && path[start] == '.')) {
            if (!out.empty()) out += '/';
            out.append(path, start, length);
        }
        start = end + 1;
    }
    return out;
}

// Absolute form of path, taken from the folder `here` when relative.
std::string absoluteFrom(const std::string& path, const std::string& here) {
    const std::string full = (!path.empty() && path[0] == '/') ? path : here + "/" + path;
    return "/" + cleanSegments(full);
}

}  // namespace

std::string absolutePath(const std::string& path) {
    return absoluteFrom(path, path.empty() || path[0] != '/' ? currentFolder() : std::string());
}

std::string shardKey(const std::string& path) {
    const std::string clean = cleanSegments(path);
    if (!path.empty() && path[0] == '/') return "/" + clean;
    return clean.empty() ? "." : clean;
}

uint32_t shardOf(const std::string& key, uint32_t count) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char byte : key) hash = (hash ^ byte) * 1099511628211ull;
    // The low bits of FNV-1a follow only the low bits of the bytes; the finaliser mixes them all in.
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
    hash ^= hash >> 33;
    hash *= 0xc4ceb9fe1a85ec53ull;
    hash ^= hash >> 33;
    return static_cast<uint32_t>(hash % count) + 1;
}

bool readPathList(const std::string& file, bool nulSeparated, std::vector<std::string>& paths,
                  std::string& error) {
    FILE* in = file == "-" ? stdin : fopen(file.c_str(), "rb");
    if (!in) {
        error = "cannot read the file list " + file + ": " + strerror(errno);
        return false;
    }
    const char separator = nulSeparated ? '\0' : '\n';
    std::string entry;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) {
        for (size_t i = 0; i < n; ++i) {
            if (buffer[i] != separator) {
                entry += buffer[i];
            } else if (!entry.empty()) {
                paths.push_back(entry);
                entry.clear();
            }
        }
    }
    const bool failed = ferror(in);
    if (!entry.empty()) paths.push_back(entry);
    if (in != stdin) fclose(in);
    if (failed) error = "cannot read the file list " + file + ": " + strerror(errno);
    return !failed;
}

std::vector<InputItem> collectInputs(const std::vector<std::string>& arguments, const WalkRules& rules) {
    InputCollector collector(rules, arguments.size());
    for (const std::string& argument : arguments) collector.take(argument);
    return std::move(collector.items);
}
