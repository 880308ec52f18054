// SPDX-License-Identifier: MIT
// What the benchmarks share: a clock and the files of a corpus folder.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// Seconds on a steady clock.
inline double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The files of a folder whose names end with `suffix`, as "dir/name", in name order.
inline std::vector<std::string> filesIn(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
                out.push_back(dir + "/" + n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The first three fields of /proc/loadavg ("" where there is none).
inline std::string loadAverage() {
    char text[64] = {0};
    if (FILE* f = fopen("/proc/loadavg", "r")) {
        if (!fgets(text, sizeof text, f)) text[0] = 0;
        fclose(f);
    }
    std::string s = text;
    size_t cut = 0;
    for (int i = 0; i < 3 && cut != std::string::npos; i++) cut = s.find(' ', cut + (i ? 1 : 0));
    return cut == std::string::npos ? s : s.substr(0, cut);
}

}  // namespace bench
