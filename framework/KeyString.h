#pragma once
// The text that identifies an item by its key: the same for the same key
// attribute values, whatever the member order or the other attributes.

#include <string>
#include <vector>

// `itemJson` is an item or a key in DynamoDB JSON; `keyNames` the table's key
// attribute names, hash key first. An attribute that is missing (or a text
// that is not a JSON object) contributes null, so such items share a key.
std::string keyString(const std::string& itemJson, const std::vector<std::string>& keyNames);
