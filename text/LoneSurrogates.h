#pragma once
// Strings with a lone UTF-16 surrogate. DynamoDB keeps strings as UTF-16
// and returns a lone surrogate as the escape "\ud800", which RapidJSON
// refuses (a lone high surrogate) or decodes to its three-byte generalized
// UTF-8 form (a lone low one). Such strings are held in memory in that
// three-byte form, which valid UTF-8 never contains, so no two different
// strings become one, and are written back as the escape they came as:
// an item round-trips exactly.

#include <cstddef>
#include <string>

#include <rapidjson/stringbuffer.h>

// Whether `text` holds a lone high surrogate escape: one RapidJSON refuses.
bool hasLoneHighSurrogate(const char* text, size_t length);

// `text` with every lone high surrogate escape replaced by its three bytes,
// so RapidJSON parses it and keeps the surrogate (lone low ones it already
// decodes to three bytes itself).
std::string withLoneSurrogateBytes(const char* text, size_t length);

// Replaces, in JSON text written by RapidJSON, each three-byte surrogate by
// its "\uXXXX" escape. Text without byte 0xED is left untouched at the cost
// of one memchr.
void escapeSurrogateBytes(std::string& json);
// The same for text that stays where it is: true, with the escaped text in
// `out`, when it holds a three-byte surrogate.
bool escapedSurrogateBytes(const char* json, size_t length, std::string& out);
void escapeSurrogateBytes(rapidjson::StringBuffer& json);
