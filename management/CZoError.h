#pragma once
// The host's status value: OK, or a numeric code with a text and the source
// locations it passed through. Agent operations return it.

#include <string>
#include <vector>

class CZoError {
public:
    CZoError() = default; // OK
    CZoError(const char* file, int line, int code, const char* format, ...) __attribute__((format(printf, 5, 6)));

    bool ok() const { return code_ == 0; }
    int code() const { return code_; }
    const std::string& text() const { return text_; }
    // Adds the location of a caller that passes the error up.
    CZoError& push(const char* file, int line);
    const std::vector<std::string>& locations() const { return locations_; }

private:
    int code_ = 0;
    std::string text_;
    std::vector<std::string> locations_;
};

#define CZO_ERROR(code, ...) CZoError(__FILE__, __LINE__, (code), __VA_ARGS__)
#define CZO_PUSH(error) (error).push(__FILE__, __LINE__)
