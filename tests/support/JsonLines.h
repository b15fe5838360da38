#pragma once
// Compares texts of item lines ("{json}") or change lines ("KIND: {json}")
// line by line, with each line's JSON compared as a value: DynamoDB does not
// promise the order of an item's attributes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "text/BoundedJson.h"

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

inline bool sameJsonLine(const std::string& a, const std::string& b) {
    const size_t jsonA = a.find('{'), jsonB = b.find('{');
    if (jsonA == std::string::npos || jsonB == std::string::npos) return a == b;
    if (a.compare(0, jsonA, b, 0, jsonB) != 0) return false;
    rapidjson::Document left, right;
    return parseBoundedJson(left, a.substr(jsonA)) && parseBoundedJson(right, b.substr(jsonB)) && left == right;
}

inline ::testing::AssertionResult sameJsonLines(const std::string& actual, const std::string& expected) {
    const auto a = splitLines(actual), e = splitLines(expected);
    bool same = a.size() == e.size() && (actual.empty() || actual.back() == '\n') == (expected.empty() || expected.back() == '\n');
    for (size_t i = 0; same && i < a.size(); ++i) same = sameJsonLine(a[i], e[i]);
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "lines differ\n  actual:\n" << actual << "  expected:\n" << expected;
}
