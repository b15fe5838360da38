#pragma once
// Parses JSON whose nesting is bounded. RapidJSON parses, and its documents
// are walked, by recursion: an answer or a stored file nested 100,000 deep
// would overflow the stack. DynamoDB allows 32 levels in an item, which is
// under 70 in any answer or file of ours; deeper text is refused unparsed.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>

constexpr int kMaxJsonDepth = 256;

// Whether `text` nests arrays and objects at most `maxDepth` deep (brackets
// inside strings do not count). Linear, without allocation.
bool jsonDepthWithin(const char* text, size_t length, int maxDepth = kMaxJsonDepth);

// Whether `text` is one JSON object and nothing after it, as far as its
// brackets show (strings skipped), nested at most `maxDepth` deep: text that
// is spliced into a request body cannot then close the object early and add
// members of its own. Linear, without allocation; not a full validation.
bool isOneJsonObject(const char* text, size_t length, int maxDepth = kMaxJsonDepth);

// Whether some name occurs twice in `names` (which it may reorder).
bool namesRepeat(std::vector<std::string_view>& names);

// Parses `text` into `document`; false (and a null document) when it is not
// one JSON value and nothing after it, is nested too deeply, holds a
// member name twice in one object, or a number beyond a double's range. Lone surrogates are kept
// (LoneSurrogates.h).
bool parseBoundedJson(rapidjson::Document& document, const std::string& text);
