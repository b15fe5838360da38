#pragma once
// The bracket walk done the plain way, one byte at a time: what the
// block-at-a-time walk of text/BoundedJson must agree with on any bytes.

#include <cstddef>

namespace reference {

// The nesting at the end of `text` outside strings, its deepest point, and
// whether a string is still open there; `closedEarly` when the outermost
// bracket closes before the last byte, `negative` when more close than open.
struct Walk {
    int endDepth = 0;
    int deepest = 0;
    bool inString = false;
    bool closedEarly = false;
    bool negative = false;
};

inline Walk walkBrackets(const char* text, size_t length) {
    Walk walk;
    int depth = 0;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (walk.inString) {
            if (c == '\\') ++i; // the byte after a backslash never ends the string
            else if (c == '"') walk.inString = false;
            continue;
        }
        if (c == '"') {
            walk.inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > walk.deepest) walk.deepest = depth;
        } else if (c == '}' || c == ']') {
            if (--depth < 0) walk.negative = true;
            if (depth == 0 && i + 1 != length && !walk.negative) walk.closedEarly = true;
        }
    }
    walk.endDepth = depth;
    return walk;
}

// What isOneJsonObject and jsonDepthWithin answer, by the plain walk.
inline bool oneObject(const char* text, size_t length, int maxDepth) {
    if (length < 2 || text[0] != '{' || text[length - 1] != '}') return false;
    const Walk walk = walkBrackets(text, length);
    return walk.deepest <= maxDepth && !walk.negative && !walk.closedEarly && walk.endDepth == 0 && !walk.inString;
}

inline bool depthWithin(const char* text, size_t length, int maxDepth) {
    return walkBrackets(text, length).deepest <= maxDepth;
}

} // namespace reference
