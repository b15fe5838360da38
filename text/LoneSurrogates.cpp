#include "text/LoneSurrogates.h"

#include <cstring>

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code unit of the "\uXXXX" escape at `at`, or -1.
int escapeAt(const char* text, size_t length, size_t at) {
    if (at + 6 > length || text[at] != '\\' || text[at + 1] != 'u') return -1;
    int unit = 0;
    for (size_t i = at + 2; i < at + 6; ++i) {
        const int digit = hexDigit(text[i]);
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

bool isHigh(int unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLow(int unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Calls `lone(at, unit)` for each lone high surrogate escape and `other(at,
// end)` for the text between them. Escapes are found by walking backslash
// pairs, so "\\ud800" (an escaped backslash) is not taken for one.
template <class Lone, class Other>
void walkEscapes(const char* text, size_t length, Lone lone, Other other) {
    size_t copied = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != '\\') continue;
        const int unit = escapeAt(text, length, i);
        if (isHigh(unit)) {
            if (isLow(escapeAt(text, length, i + 6))) {
                i += 11;
                continue;
            }
            other(copied, i);
            lone(unit);
            copied = i + 6;
            i += 5;
        } else {
            ++i; // the escaped character, whatever it is
        }
    }
    other(copied, length);
}

void appendEscape(std::string& out, unsigned unit) {
    static const char kHex[] = "0123456789abcdef";
    const char escape[6] = {'\\', 'u', kHex[(unit >> 12) & 15], kHex[(unit >> 8) & 15], kHex[(unit >> 4) & 15],
                            kHex[unit & 15]};
    out.append(escape, 6);
}

// The text with each three-byte surrogate (ED A0-BF 80-BF) as an escape, or
// false when it has none.
bool escaped(const char* text, size_t length, std::string& out) {
    const void* first = std::memchr(text, 0xED, length);
    if (!first) return false;
    bool any = false;
    size_t copied = 0;
    for (size_t i = static_cast<const char*>(first) - text; i + 2 < length; ++i) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        const auto b1 = static_cast<unsigned char>(text[i + 1]);
        const auto b2 = static_cast<unsigned char>(text[i + 2]);
        if (b0 != 0xED || b1 < 0xA0 || b1 > 0xBF || (b2 & 0xC0) != 0x80) continue;
        if (!any) out.clear();
        any = true;
        out.append(text + copied, i - copied);
        appendEscape(out, 0xD000u | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu));
        copied = i + 3;
        i += 2;
    }
    if (any) out.append(text + copied, length - copied);
    return any;
}

} // namespace

bool hasLoneHighSurrogate(const char* text, size_t length) {
    bool found = false;
    walkEscapes(text, length, [&](int) { found = true; }, [](size_t, size_t) {});
    return found;
}

std::string withLoneSurrogateBytes(const char* text, size_t length) {
    std::string out;
    out.reserve(length);
    walkEscapes(
        text, length,
        [&](int unit) {
            out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
            out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
        },
        [&](size_t from, size_t to) { out.append(text + from, to - from); });
    return out;
}

bool escapedSurrogateBytes(const char* json, size_t length, std::string& out) { return escaped(json, length, out); }

void escapeSurrogateBytes(std::string& json) {
    std::string out;
    if (escaped(json.data(), json.size(), out)) json.swap(out);
}

void escapeSurrogateBytes(rapidjson::StringBuffer& json) {
    std::string out;
    if (!escaped(json.GetString(), json.GetSize(), out)) return;
    json.Clear();
    std::memcpy(json.Push(out.size()), out.data(), out.size());
}
