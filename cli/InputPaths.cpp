// Turning the command line's paths into the list of files offered to the engine.
#include "cli/InputPaths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>

#include "picture/Picture.h"

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

class FolderWalk {
  public:
    FolderWalk(const WalkRules& walkRules, std::vector<std::string>& found) : rules(walkRules), files(found) {
        FileId id;
        if (!rules.skipFolderPath.empty() && fileIdOf(rules.skipFolderPath, id)) skipped = id;
    }

    // Appends the supported files under folder; folders reached twice (links) are walked once.
    void walk(const std::string& folder) {
        FileId id;
        if (!fileIdOf(folder, id) || !visited.insert(id).second) return;
        for (const std::string& name : sortedEntries(folder)) {
            const std::string path = folder + "/" + name;
            struct stat info;
            if (stat(path.c_str(), &info) != 0) continue;
            if (S_ISDIR(info.st_mode)) {
                if (name == rules.skipFolderName || FileId(info.st_dev, info.st_ino) == skipped) continue;
                walk(path);
            } else if (S_ISREG(info.st_mode) && CPicture::isValidFileType(path)) {
                files.push_back(path);
            }
        }
    }

  private:
    const WalkRules& rules;
    std::vector<std::string>& files;
    std::set<FileId> visited;
    FileId skipped{0, 0};
};

}  // namespace

std::string absolutePath(const std::string& path) {
    const std::string full = (!path.empty() && path[0] == '/') ? path : currentFolder() + "/" + path;
    std::string out;
    size_t start = 0;
    while (start <= full.size()) {
        size_t end = full.find('/', start);
        if (end == std::string::npos) end = full.size();
        const std::string segment = full.substr(start, end - start);
        if (!segment.empty() && segment != ".") out += "/" + segment;
        start = end + 1;
    }
    return out.empty() ? "/" : out;
}

std::vector<InputItem> collectInputs(const std::vector<std::string>& arguments, const WalkRules& rules) {
    std::vector<InputItem> items;
    std::set<std::string> offered;
    auto offer = [&](const std::string& path) {
        if (offered.insert(path).second) items.push_back(InputItem{path, std::string()});
    };
    for (const std::string& argument : arguments) {
        const std::string path = absolutePath(argument);
        struct stat info;
        if (stat(path.c_str(), &info) != 0) {
            items.push_back(InputItem{path, "no such file or folder"});
        } else if (S_ISREG(info.st_mode)) {
            offer(path);
        } else if (!S_ISDIR(info.st_mode)) {
            items.push_back(InputItem{path, "is not a regular file"});
        } else if (!rules.recursive) {
            items.push_back(InputItem{path, "is a folder (use -r to resize the images inside it)"});
        } else {
            std::vector<std::string> files;
            FolderWalk(rules, files).walk(path);
            if (files.empty()) items.push_back(InputItem{path, "holds no JPEG, PNG, GIF or BMP file"});
            for (const std::string& file : files) offer(file);
        }
    }
    return items;
}
