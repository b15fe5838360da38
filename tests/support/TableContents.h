#pragma once
// Every item of a table by key, and whether two tables hold the same items,
// for tests that check a restore against its source.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include <rapidjson/document.h>

#include "dynamodb/AwsDynamoDBService.h"
#include "text/BoundedJson.h"
#include "framework/KeyString.h"
#include "framework/MemoryStreams.h"

inline std::map<std::string, std::string> tableContents(AwsDynamoDBService& service, const std::string& table,
                                                        const std::vector<std::string>& keyNames = {"id"}) {
    std::map<std::string, std::string> items;
    MemoryOutput output("scan");
    std::string key;
    do {
        std::string start = key;
        EXPECT_EQ(service.scanToStream(table, 0, 1, start, &output, key), None);
    } while (!key.empty());
    const std::string data = output.data();
    for (size_t start = 0, end; (end = data.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = data.substr(start, end - start);
        items[keyString(line, keyNames)] = line;
    }
    return items;
}

// Same keys, and items equal as JSON (member order does not matter).
inline bool sameItems(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b) {
    if (a.size() != b.size()) return false;
    for (const auto& entry : a) {
        auto other = b.find(entry.first);
        if (other == b.end()) return false;
        rapidjson::Document left, right;
        if (!parseBoundedJson(left, entry.second) || !parseBoundedJson(right, other->second) || left != right)
            return false;
    }
    return true;
}
