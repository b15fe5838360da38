#pragma once
// Whole numbers from text the agent is handed (task descriptors, restart
// texts, state files): blanks around the number are allowed, anything else
// is not, and a number out of the type's range is an error instead of
// wrapping as sscanf does.

#include <cstdint>
#include <string>

bool parseStrictInt64(const std::string& text, int64_t& value, int64_t minimum = INT64_MIN,
                      int64_t maximum = INT64_MAX);
bool parseStrictInt(const std::string& text, int& value);
