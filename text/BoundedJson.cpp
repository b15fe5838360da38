#include "text/BoundedJson.h"

#include <cstring>

#include "text/LoneSurrogates.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <vector>

namespace {

// The closing quote of a string whose text starts at `from`, or `length`.
// Strings are most of a document: the quote and the backslashes before it
// are found with memchr, each byte looked at once.
size_t stringEnd(const char* text, size_t length, size_t from) {
    const char* end = text + length;
    const char* at = text + from;
    const char* quote = static_cast<const char*>(std::memchr(at, '"', end - at));
    for (;;) {
        const char* until = quote ? quote : end;
        const char* escape = static_cast<const char*>(std::memchr(at, '\\', until - at));
        if (!escape) return quote ? static_cast<size_t>(quote - text) : length;
        at = escape + 2; // the escaped character cannot end the string
        if (at > end) return length;
        if (quote && at > quote) quote = static_cast<const char*>(std::memchr(at, '"', end - at));
    }
}

// Walks the brackets of `text` outside strings. False once the nesting
// passes `maxDepth`, or, with `wholeObject`, when the outermost bracket
// closes before the last character; `endDepth` is the nesting at the end.
bool walkBrackets(const char* text, size_t length, int maxDepth, bool wholeObject, int& endDepth, bool& inString) {
    int depth = 0;
    inString = false;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (inString) {
            i = stringEnd(text, length, i);
            if (i < length) inString = false; // at the closing quote
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > maxDepth) return false;
        } else if (c == '}' || c == ']') {
            if (--depth < 0 && wholeObject) return false;
            if (wholeObject && depth == 0 && i + 1 != length) return false;
        }
    }
    endDepth = depth;
    return true;
}

} // namespace

bool jsonDepthWithin(const char* text, size_t length, int maxDepth) {
    int depth = 0;
    bool inString = false;
    return walkBrackets(text, length, maxDepth, false, depth, inString);
}

bool isOneJsonObject(const char* text, size_t length, int maxDepth) {
    if (length < 2 || text[0] != '{' || text[length - 1] != '}') return false;
    int depth = 0;
    bool inString = false;
    return walkBrackets(text, length, maxDepth, true, depth, inString) && depth == 0 && !inString;
}

namespace {

// Whether some object in `value` holds a member name twice, or some number
// is out of a double's range (read as infinite, it could not be written
// back). The depth is bounded by then, so the recursion is too.
bool holdsDuplicateOrHugeNumber(const rapidjson::Value& value) {
    if (value.IsDouble()) return !std::isfinite(value.GetDouble());
    if (value.IsArray()) {
        for (const auto& element : value.GetArray())
            if (holdsDuplicateOrHugeNumber(element)) return true;
        return false;
    }
    if (!value.IsObject()) return false;
    std::vector<std::string_view> names;
    names.reserve(value.MemberCount());
    for (const auto& member : value.GetObject()) {
        names.emplace_back(member.name.GetString(), member.name.GetStringLength());
        if (holdsDuplicateOrHugeNumber(member.value)) return true;
    }
    return namesRepeat(names);
}

} // namespace

bool namesRepeat(std::vector<std::string_view>& names) {
    if (names.size() < 2) return false;
    if (names.size() <= 8) { // the usual item: fewer compares than a sort
        for (size_t i = 0; i < names.size(); ++i)
            for (size_t j = i + 1; j < names.size(); ++j)
                if (names[i] == names[j]) return true;
        return false;
    }
    std::sort(names.begin(), names.end());
    return std::adjacent_find(names.begin(), names.end()) != names.end();
}

bool parseBoundedJson(rapidjson::Document& document, const std::string& text) {
    if (!jsonDepthWithin(text.data(), text.size())) {
        document.SetNull();
        return false;
    }
    document.Parse(text.c_str(), text.size());
    if (document.HasParseError() && document.GetParseError() == rapidjson::kParseErrorStringUnicodeSurrogateInvalid &&
        hasLoneHighSurrogate(text.data(), text.size())) {
        const std::string kept = withLoneSurrogateBytes(text.data(), text.size());
        document.Parse(kept.c_str(), kept.size());
    }
    // A member twice leaves it open which one a reader takes.
    if (!document.HasParseError() && !holdsDuplicateOrHugeNumber(document)) return true;
    document.SetNull();
    return false;
}
