#include "backup/PullIntoFile.h"

#include <cstdio>

void pullIntoFile(TeskBufferedOutput& output, const std::string& fileName, TeskEnvironment& environment) {
    FILE* file = std::fopen(fileName.c_str(), "wb");
    char buffer[41];
    unsigned long newlines = 0;
    for (;;) {
        unsigned long filled = 0;
        bool finished = false;
        bool ok = output.fillBuffer(buffer, sizeof buffer, filled, finished);
        if (filled > 0) {
            if (file) std::fwrite(buffer, 1, filled, file);
            for (unsigned long i = 0; i < filled; ++i) newlines += buffer[i] == '\n';
        }
        if (!ok) {
            environment.log("testBufferedMode", "fillBuffer failure");
            break;
        }
        if (filled == 0 || finished) {
            if (filled == 0) environment.log("testBufferedMode", "nothing filled");
            break;
        }
    }
    environment.log("testBufferedMode", "Found " + std::to_string(newlines) + " newlines");
    if (file) std::fclose(file);
}
