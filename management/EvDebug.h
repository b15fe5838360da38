#pragma once
// The host's process debug log for the agent: printf-style lines with a
// numeric level (-1 errors, 0 information, 2 and 3 detail), written when the
// configured level (DDB_DEBUG_LEVEL, default 0) is at least the line's.
// Thread-safe through its sink.

#include <memory>
#include <string>

#include "framework/LogSink.h"

class EvDebug {
public:
    // No sink: the process debug log (stderr).
    explicit EvDebug(std::shared_ptr<LogSink> sink = nullptr, int level = configuredLevel());
    void log(int level, const char* function, const char* format, ...) __attribute__((format(printf, 4, 5)));
    int level() const { return level_; }
    static int configuredLevel();

private:
    std::shared_ptr<LogSink> sink_;
    int level_;
};
