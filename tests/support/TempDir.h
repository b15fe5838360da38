#pragma once
// A fresh directory under /tmp, removed with everything in it at scope end.

#include <cstdlib>
#include <string>

#include <dirent.h>
#include <unistd.h>

struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/ddb-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        path = made ? made : "";
    }
    ~TempDir() {
        if (!path.empty()) std::system(("rm -rf '" + path + "'").c_str());
    }
    // True when `directory` holds nothing.
    static bool isEmpty(const std::string& directory) {
        DIR* dir = ::opendir(directory.c_str());
        if (!dir) return false;
        int entries = 0;
        while (dirent* entry = ::readdir(dir)) entries += std::string(entry->d_name) != "." && std::string(entry->d_name) != "..";
        ::closedir(dir);
        return entries == 0;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};
