#include "text/UtcTime.h"

#include <cctype>
#include <ctime>

std::string utcText(int64_t seconds) {
    const time_t value = static_cast<time_t>(seconds);
    tm utc{};
    gmtime_r(&value, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

namespace {

// Exactly `digits` decimal digits at `at`, advancing it.
bool number(const std::string& text, size_t& at, int digits, int& value) {
    value = 0;
    for (int i = 0; i < digits; ++i, ++at) {
        if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at]))) return false;
        value = value * 10 + (text[at] - '0');
    }
    return true;
}

bool expect(const std::string& text, size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

int daysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

} // namespace

bool parseUtcTime(const std::string& text, int64_t& seconds, std::string& error) {
    const std::string expected = "'" + text +
                                 "' is not a time such as 2026-12-09T14:30:00Z or 2026-12-09T15:30:00+01:00 "
                                 "(ISO 8601 with Z or an offset)";
    size_t at = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!number(text, at, 4, year) || !expect(text, at, '-') || !number(text, at, 2, month) ||
        !expect(text, at, '-') || !number(text, at, 2, day) || at >= text.size() ||
        (text[at] != 'T' && text[at] != 't' && text[at] != ' ') || !number(text, ++at, 2, hour) ||
        !expect(text, at, ':') || !number(text, at, 2, minute)) {
        error = expected;
        return false;
    }
    if (at < text.size() && text[at] == ':') {
        if (!number(text, ++at, 2, second)) {
            error = expected;
            return false;
        }
        if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
            const size_t fraction = ++at;
            while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
            if (at == fraction) {
                error = expected;
                return false;
            }
        }
    }
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 59) {
        error = "'" + text + "' is not a valid date and time";
        return false;
    }
    int offset = 0; // seconds east of UTC
    if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at] == '-' ? -1 : 1;
        int hours = 0, minutes = 0;
        if (!number(text, ++at, 2, hours)) {
            error = expected;
            return false;
        }
        if (at < text.size() && text[at] == ':') ++at;
        if (at < text.size() && !number(text, at, 2, minutes)) {
            error = expected;
            return false;
        }
        if (hours > 23 || minutes > 59) {
            error = "'" + text + "' has an offset out of range";
            return false;
        }
        offset = sign * (hours * 3600 + minutes * 60);
    } else if (at == text.size()) {
        error = "'" + text + "' has no time zone: add Z for UTC, or the offset, such as +01:00";
        return false;
    }
    if (at != text.size()) {
        error = expected;
        return false;
    }
    tm broken{};
    broken.tm_year = year - 1900;
    broken.tm_mon = month - 1;
    broken.tm_mday = day;
    broken.tm_hour = hour;
    broken.tm_min = minute;
    broken.tm_sec = second;
    seconds = static_cast<int64_t>(timegm(&broken)) - offset;
    return true;
}
