#include "agent/StrictNumber.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

bool parseStrictInt64(const std::string& text, int64_t& value, int64_t minimum, int64_t maximum) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return false;
    size_t end = text.find_last_not_of(" \t\r\n") + 1;
    const std::string digits = text.substr(begin, end - begin);
    size_t first = digits[0] == '-' || digits[0] == '+' ? 1 : 0;
    if (first == digits.size()) return false;
    for (size_t i = first; i < digits.size(); ++i)
        if (digits[i] < '0' || digits[i] > '9') return false;
    errno = 0;
    const long long parsed = std::strtoll(digits.c_str(), nullptr, 10);
    if (errno == ERANGE || parsed < minimum || parsed > maximum) return false;
    value = parsed;
    return true;
}

bool parseStrictInt(const std::string& text, int& value) {
    int64_t parsed = 0;
    if (!parseStrictInt64(text, parsed, INT_MIN, INT_MAX)) return false;
    value = static_cast<int>(parsed);
    return true;
}
