#include "management/EvDebug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

EvDebug::EvDebug(std::shared_ptr<LogSink> sink, int level)
    : sink_(sink ? std::move(sink) : stderrLogSink()), level_(level) {}

int EvDebug::configuredLevel() {
    const char* value = std::getenv("DDB_DEBUG_LEVEL");
    return value && *value ? std::atoi(value) : 0;
}

void EvDebug::log(int level, const char* function, const char* format, ...) {
    if (level_ < level) return;
    va_list arguments;
    va_start(arguments, format);
    char buffer[4096];
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    sink_->write(std::to_string(level) + " " + function + ": " + buffer);
}
