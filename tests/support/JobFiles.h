#pragma once
// The files of a job folder in a local store, as a host restoring file by
// file finds them. Header-only, on the C library alone, so that the test
// host that links nothing of ours can use it too.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

// The names in `directory` but hidden ones, numbers in numeric order (as
// chunks and scan segments are numbered).
inline std::vector<std::string> folderEntries(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') names.push_back(entry->d_name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

// Every file below `relative` (a job folder, "/region/table/F1"), relative
// to the store at `root`, in replay order.
inline void collectJobFiles(const std::string& root, const std::string& relative, std::vector<std::string>& files) {
    for (const auto& name : folderEntries(root + relative)) {
        const std::string path = relative + "/" + name;
        struct stat info {};
        if (::stat((root + path).c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            collectJobFiles(root, path, files);
        else
            files.push_back(path);
    }
}
