#include "BoundedJson.h"

#include "LoneSurrogates.h"

namespace {

// Walks the brackets of `text` outside strings. False once the nesting
// passes `maxDepth`, or, with `wholeObject`, when the outermost bracket
// closes before the last character; `endDepth` is the nesting at the end.
bool walkBrackets(const char* text, size_t length, int maxDepth, bool wholeObject, int& endDepth, bool& inString) {
    int depth = 0;
    inString = false;
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

bool parseBoundedJson(rapidjson::Document& document, const std::string& text) {
    if (!jsonDepthWithin(text.data(), text.size())) {
        document.SetNull();
        return false;
    }
    document.Parse(text.c_str(), text.size());
    if (!document.HasParseError()) return true;
    if (document.GetParseError() == rapidjson::kParseErrorStringUnicodeSurrogateInvalid &&
        hasLoneHighSurrogate(text.data(), text.size())) {
        const std::string kept = withLoneSurrogateBytes(text.data(), text.size());
        document.Parse(kept.c_str(), kept.size());
        if (!document.HasParseError()) return true;
    }
    document.SetNull();
    return false;
}
