#include "BoundedJson.h"

bool jsonDepthWithin(const char* text, size_t length, int maxDepth) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i; // the escaped character cannot end the string
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > maxDepth) return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

bool isOneJsonObject(const char* text, size_t length, int maxDepth) {
    if (length < 2 || text[0] != '{') return false;
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > maxDepth) return false;
        } else if (c == '}' || c == ']') {
            // The outer object may close only at the very end.
            if (--depth < 0 || (depth == 0 && i + 1 != length)) return false;
        }
    }
    return depth == 0 && !inString && text[length - 1] == '}';
}

bool parseBoundedJson(rapidjson::Document& document, const std::string& text) {
    if (!jsonDepthWithin(text.data(), text.size())) {
        document.SetNull();
        return false;
    }
    document.Parse(text.c_str(), text.size());
    if (!document.HasParseError()) return true;
    document.SetNull();
    return false;
}
