#include "text/BoundedJson.h"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/LoneSurrogates.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

// Where in a block of 64 bytes the quotes, backslashes and brackets are,
// one bit per byte.
struct BlockMarks {
    uint64_t quote = 0, backslash = 0, open = 0, close = 0;
};

BlockMarks marksOf(const char* block) {
    BlockMarks marks;
#if defined(__SSE2__)
    // '{' and '[' differ only in the 0x20 bit, as do '}' and ']'.
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), bit = _mm_set1_epi8(0x20),
                  open = _mm_set1_epi8('{'), close = _mm_set1_epi8('}');
    for (int i = 0; i < 4; ++i) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
        const __m128i folded = _mm_or_si128(bytes, bit);
        const auto mask = [](__m128i equal) {
            return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(equal)));
        };
        marks.quote |= mask(_mm_cmpeq_epi8(bytes, quote)) << (16 * i);
        marks.backslash |= mask(_mm_cmpeq_epi8(bytes, backslash)) << (16 * i);
        marks.open |= mask(_mm_cmpeq_epi8(folded, open)) << (16 * i);
        marks.close |= mask(_mm_cmpeq_epi8(folded, close)) << (16 * i);
    }
#else
    for (int i = 0; i < 64; ++i) {
        const uint64_t at = uint64_t(1) << i;
        const char c = block[i];
        if (c == '"') marks.quote |= at;
        if (c == '\\') marks.backslash |= at;
        if (c == '{' || c == '[') marks.open |= at;
        if (c == '}' || c == ']') marks.close |= at;
    }
#endif
    return marks;
}

// Each bit the parity of the bits up to and including it.
uint64_t prefixParity(uint64_t bits) {
    for (int shift = 1; shift < 64; shift <<= 1) bits ^= bits << shift;
    return bits;
}

// Walks the brackets of `text` outside strings, 64 bytes at a time. False
// once the nesting passes `maxDepth`, or, with `wholeObject`, when the
// outermost bracket closes before the last character; `endDepth` is the
// nesting at the end and `inString` whether a string is still open there.
// Quotes and backslashes decide what is inside a string: one by one, in
// order, in a block that has a backslash (inside a string it hides the byte
// after it); as they stand in one that has none.
bool walkBrackets(const char* text, size_t length, int maxDepth, bool wholeObject, int& endDepth, bool& inString) {
    int depth = 0;
    bool in = false;
    bool escapedFirst = false; // a backslash ended the last block inside a string
    char tail[64];
    for (size_t base = 0; base < length; base += 64) {
        const char* block = text + base;
        if (length - base < 64) {
            // No byte past the text is read; zeros mark nothing.
            std::memset(tail, 0, sizeof tail);
            std::memcpy(tail, block, length - base);
            block = tail;
        }
        const BlockMarks marks = marksOf(block);
        uint64_t toggles = marks.quote;
        if (marks.backslash != 0 || escapedFirst) {
            toggles = 0;
            unsigned hidden = escapedFirst ? 0 : 64;
            escapedFirst = false;
            bool open = in;
            for (uint64_t events = marks.quote | marks.backslash; events != 0; events &= events - 1) {
                const unsigned at = static_cast<unsigned>(__builtin_ctzll(events));
                if (at == hidden) continue;
                if (marks.quote >> at & 1) {
                    toggles |= uint64_t(1) << at;
                    open = !open;
                } else if (open) {
                    hidden = at + 1;
                    escapedFirst = at == 63;
                }
            }
        }
        uint64_t inside = prefixParity(toggles);
        if (in) inside = ~inside;
        in = in != (__builtin_popcountll(toggles) & 1);
        for (uint64_t brackets = (marks.open | marks.close) & ~inside; brackets != 0; brackets &= brackets - 1) {
            const unsigned at = static_cast<unsigned>(__builtin_ctzll(brackets));
            if (marks.open >> at & 1) {
                if (++depth > maxDepth) return false;
            } else {
                if (--depth < 0 && wholeObject) return false;
                if (wholeObject && depth == 0 && base + at + 1 != length) return false;
            }
        }
    }
    endDepth = depth;
    inString = in;
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
