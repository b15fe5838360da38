#include "text/BoundedJson.h"

#include <cstdint>

#include "text/LoneSurrogates.h"
#include "text/StringScan.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

// The closing quote of a string whose text starts at `from`, or `length`.
size_t stringEnd(const char* text, size_t length, size_t from) {
    for (;;) {
        const size_t at = quoteOrEscape(text, length, from);
        if (at >= length || text[at] == '"') return at;
        from = at + 2; // the escaped character cannot end the string
        if (from > length) return length;
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
    if (names.size() <= 64) {
        // An item's few dozen names: a name is compared only with the ones
        // before it that share a cheap 6-bit sign (its length and its first
        // and last bytes), which different names of an item seldom do.
        uint64_t seen = 0;
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string_view name = names[i];
            const unsigned sign = name.empty() ? 0u
                                               : static_cast<unsigned>(name.size() * 7 + static_cast<unsigned char>(name[0]) * 3 +
                                                                       static_cast<unsigned char>(name.back()));
            const uint64_t bit = uint64_t(1) << (sign & 63);
            if (seen & bit)
                for (size_t j = 0; j < i; ++j)
                    if (names[j] == name) return true;
            seen |= bit;
        }
        return false;
    }
    std::sort(names.begin(), names.end());
    return std::adjacent_find(names.begin(), names.end()) != names.end();
}

bool parseBoundedJson(rapidjson::Document& document, const std::string& text) {
    // RapidJSON takes a NUL byte for the end of the text, and a NUL is
    // valid nowhere in JSON, so a text holding one is refused, not cut short.
    if (std::memchr(text.data(), '\0', text.size()) != nullptr || !jsonDepthWithin(text.data(), text.size())) {
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
