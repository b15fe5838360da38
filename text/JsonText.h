#pragma once
// Small helpers for the JSON texts the client builds and reads.

#include <string>

#include <rapidjson/document.h>

namespace json_text {

// `text` as a JSON string literal, quotes included. For names within
// DynamoDB's naming rules this is just the name between quotes, so bodies
// built by concatenation stay byte for byte what they always were, while a
// name with a quote or a control character cannot break out of its string.
std::string quoted(const std::string& text);

// Compact JSON text of a value; a lone surrogate is written as its escape.
std::string compact(const rapidjson::Value& value);

// Parses `text` into `document`; false when it is not JSON or not an object.
bool parseObject(rapidjson::Document& document, const std::string& text);

// The string member `name` of `object`, or `fallback` when absent or not a string.
std::string stringMember(const rapidjson::Value& object, const char* name, const std::string& fallback = "");

// A number as a whole 64-bit integer (a fraction truncated); false for
// anything else, a number out of range included.
bool wholeNumber(const rapidjson::Value& value, int64_t& whole);

// The integer member `name` (64-bit, see wholeNumber), or `fallback`.
int64_t int64Member(const rapidjson::Value& object, const char* name, int64_t fallback = 0);

} // namespace json_text
