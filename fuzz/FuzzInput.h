#pragma once
// What the fuzz targets share: the input as text, and a check that stops
// the run with the input kept when an invariant fails.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <rapidjson/document.h>

inline std::string fuzzText(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

// Equal values: strings as UTF-16 code units, a double within the last
// digits of its precision: RapidJSON's
// default number parse is not correctly rounded (its full-precision one
// computes clz(0) on "0e-44"), and no item number is a JSON number anyway.
// A string as UTF-16 code units, its bytes read as generalized UTF-8: a
// surrogate's three bytes are one unit, so two surrogates side by side equal
// the four-byte character they pair into, as they do in JSON and in
// DynamoDB. A byte that starts no sequence stands for itself, marked.
inline std::u32string codeUnits(const char* text, size_t length) {
    std::u32string units;
    for (size_t i = 0; i < length;) {
        const auto b = static_cast<unsigned char>(text[i]);
        const size_t extra = b >= 0xF0 && b < 0xF8 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
        bool whole = b < 0x80 || extra > 0;
        for (size_t k = 1; whole && k <= extra; ++k)
            whole = i + k < length && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (!whole || (b >= 0x80 && extra == 0)) {
            units.push_back(0x110000 + b);
            ++i;
            continue;
        }
        uint32_t point = extra == 0 ? b : b & (0x3F >> extra);
        for (size_t k = 1; k <= extra; ++k) point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        if (point >= 0x10000 && point < 0x110000) {
            units.push_back(0xD800 + ((point - 0x10000) >> 10));
            units.push_back(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            units.push_back(point);
        }
        i += extra + 1;
    }
    return units;
}

inline bool sameValue(const rapidjson::Value& a, const rapidjson::Value& b) {
    if (a.IsNumber() && b.IsNumber()) {
        const double x = a.GetDouble(), y = b.GetDouble();
        return x == y || std::fabs(x - y) <= 1e-12 * std::max(std::fabs(x), std::fabs(y));
    }
    if (a.GetType() != b.GetType()) return false;
    if (a.IsArray()) {
        if (a.Size() != b.Size()) return false;
        for (rapidjson::SizeType i = 0; i < a.Size(); ++i)
            if (!sameValue(a[i], b[i])) return false;
        return true;
    }
    if (a.IsObject()) {
        if (a.MemberCount() != b.MemberCount()) return false;
        for (auto ai = a.MemberBegin(), bi = b.MemberBegin(); ai != a.MemberEnd(); ++ai, ++bi)
            if (!sameValue(ai->name, bi->name) || !sameValue(ai->value, bi->value)) return false;
        return true;
    }
    if (a.IsString())
        return codeUnits(a.GetString(), a.GetStringLength()) == codeUnits(b.GetString(), b.GetStringLength());
    return a == b;
}

