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

// Equal values, a double within the last digits of its precision: RapidJSON's
// default number parse is not correctly rounded (its full-precision one
// computes clz(0) on "0e-44"), and no item number is a JSON number anyway.
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
            if (!(ai->name == bi->name) || !sameValue(ai->value, bi->value)) return false;
        return true;
    }
    return a == b;
}

