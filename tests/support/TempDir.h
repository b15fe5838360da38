#pragma once
// A fresh directory under /tmp, removed with everything in it at scope end.

#include <cstdlib>
#include <string>

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
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};
