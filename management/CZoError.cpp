#include "management/CZoError.h"

#include <cstdarg>
#include <cstdio>

CZoError::CZoError(const char* file, int line, int code, const char* format, ...) : code_(code) {
    // Measured first and kept whole: a fixed buffer cut long texts (a
    // table's description, a chain of causes) without a sign.
    va_list arguments, again;
    va_start(arguments, format);
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    if (length > 0) {
        text_.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(&text_[0], text_.size(), format, again);
        text_.resize(static_cast<size_t>(length));
    }
    va_end(again);
    push(file, line);
}

CZoError& CZoError::push(const char* file, int line) {
    locations_.push_back(std::string(file) + ":" + std::to_string(line));
    return *this;
}
