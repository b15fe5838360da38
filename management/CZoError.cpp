#include "management/CZoError.h"

#include <cstdarg>
#include <cstdio>

CZoError::CZoError(const char* file, int line, int code, const char* format, ...) : code_(code) {
    va_list arguments;
    va_start(arguments, format);
    char buffer[2048];
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    text_ = buffer;
    push(file, line);
}

CZoError& CZoError::push(const char* file, int line) {
    locations_.push_back(std::string(file) + ":" + std::to_string(line));
    return *this;
}
