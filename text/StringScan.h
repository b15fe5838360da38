#pragma once
// A search inside JSON strings, sixteen bytes at a time. Strings are most
// of an item and most are short (type tags, names), where a call to memchr
// costs more than the search itself.

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The first quote or backslash at or after `from`, or `length`; nothing at
// or past `length` is read.
inline size_t quoteOrEscape(const char* text, size_t length, size_t from) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    for (; from + 16 <= length; from += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + from));
        const int found = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)));
        if (found) return from + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(found)));
    }
#endif
    for (; from < length; ++from)
        if (text[from] == '"' || text[from] == '\\') return from;
    return length;
}
