// Every parser of answers and stored files refuses JSON nested deeper than
// any DynamoDB item can be, instead of overflowing the stack.

#include <gtest/gtest.h>

#include <cstring>

#include "dynamodb/GetRecordsResult.h"
#include "text/JsonText.h"
#include "dynamodb/ScanResult.h"
#include "store/BackupManifest.h"
#include "store/BackupVerifier.h"
#include "text/BoundedJson.h"
#include "framework/KeyString.h"
#include "framework/MemoryStreams.h"
#include "tests/support/BracketWalk.h"

#include <random>

namespace {

std::string nested(size_t levels, const std::string& prefix = "", const std::string& suffix = "") {
    return prefix + std::string(levels, '[') + std::string(levels, ']') + suffix;
}

TEST(BoundedJson, DepthCountsOnlyBracketsOutsideStrings) {
    EXPECT_TRUE(jsonDepthWithin("{}", 2, 1));
    EXPECT_FALSE(jsonDepthWithin("[[]]", 4, 1));
    const std::string inString = R"({"a":"[[[[\"[[[["})";
    EXPECT_TRUE(jsonDepthWithin(inString.data(), inString.size(), 1));
    const std::string escapedBackslash = R"({"a":"\\"}[])";
    EXPECT_FALSE(jsonDepthWithin(escapedBackslash.data(), escapedBackslash.size(), 0));
    // An item at DynamoDB's own limit of 32 levels, inside a Scan page, parses.
    std::string item = R"({"k":{"S":"x"})";
    std::string value = R"({"S":"leaf"})";
    for (int level = 0; level < 32; ++level) value = R"({"M":{"m":)" + value + "}}";
    const std::string page = R"({"Items":[)" + item + R"(,"deep":)" + value + "}]}";
    rapidjson::Document document;
    EXPECT_TRUE(parseBoundedJson(document, page));
}

TEST(BoundedJson, OneObjectAndNothingAfterIt) {
    for (const char* good : {R"({})", R"({"a":{"S":"}{"}})", R"({"a":{"L":[{"S":"\"}"}]}})"})
        EXPECT_TRUE(isOneJsonObject(good, std::strlen(good))) << good;
    for (const char* bad : {"", "{", "[]", R"({"a":1}})", R"({"a":1},{"b":2})", R"({"a":1}} ,"x":{)",
                            R"({"a":"open})", R"({"a":1} )"})
        EXPECT_FALSE(isOneJsonObject(bad, std::strlen(bad))) << bad;
}

TEST(BoundedJson, EveryParserRefusesADeepDocument) {
    const std::string deep = nested(100000, R"({"Items":[)", "]}");
    rapidjson::Document document;
    EXPECT_FALSE(json_text::parseObject(document, deep));

    MemoryOutput scan("scan");
    std::string key;
    EXPECT_FALSE(ScanResult::parseToStream(deep, &scan, key));
    EXPECT_EQ(scan.data(), "");

    MemoryOutput changes("shard");
    std::string iterator, sequence;
    int64_t time = 0;
    int count = 0;
    EXPECT_FALSE(GetRecordsResult::parseToStream(nested(100000, R"({"Records":[)", "]}"), &changes, iterator,
                                                 sequence, time, count));

    BackupManifest manifest;
    std::string error;
    EXPECT_FALSE(BackupManifest::fromJson(nested(100000, R"({"version":1,"x":)", "}"), manifest, error));

    std::string why;
    EXPECT_FALSE(isDynamoDBItem(nested(100000, R"({"a":)", "}"), why));
    EXPECT_EQ(keyString(nested(100000, R"({"id":)", "}"), {"id"}), keyString("not json", {"id"}));
}

} // namespace

TEST(BoundedJson, ARepeatedNameIsFoundHoweverManyNamesThereAre) {
    // Names that share a length and their first and last bytes are told
    // apart by their middle; a repeat is found wherever it lies.
    for (const size_t count : {2u, 8u, 9u, 40u, 64u, 65u, 300u}) {
        std::vector<std::string> owned;
        for (size_t i = 0; i < count; ++i) owned.push_back("a" + std::to_string(1000 + i) + "z");
        owned.push_back("");
        std::vector<std::string_view> names(owned.begin(), owned.end());
        EXPECT_FALSE(namesRepeat(names)) << count;
        for (const size_t at : {size_t(0), count / 2, count - 1}) {
            names.assign(owned.begin(), owned.end());
            names.push_back(owned[at]);
            EXPECT_TRUE(namesRepeat(names)) << count << " " << at;
        }
        names.assign(owned.begin(), owned.end());
        names.push_back("");
        EXPECT_TRUE(namesRepeat(names)) << count;
    }
}

// The bracket walk goes 64 bytes at a time; on any bytes it answers as the
// walk one byte at a time does: strings, escapes and brackets that straddle
// blocks, runs of backslashes, and a text that ends inside a string.
TEST(BoundedJson, TheBlockWalkAgreesWithTheByteWalk) {
    std::mt19937 random(7);
    const char alphabet[] = {'"', '\\', '{', '}', '[', ']', 'a', ' ', '\0'};
    for (int round = 0; round < 20000; ++round) {
        const size_t length = random() % 200;
        std::string text(length, 'a');
        // Mostly brackets and letters, so that whole objects come up too.
        const unsigned letters = 2 + random() % 6;
        for (char& c : text) c = random() % letters == 0 ? 'a' : alphabet[random() % sizeof alphabet];
        if (round % 2 == 0 && length >= 2) {
            text.front() = '{';
            text.back() = '}';
        }
        for (const int depth : {0, 1, 3, 256}) {
            EXPECT_EQ(isOneJsonObject(text.data(), text.size(), depth), reference::oneObject(text.data(), text.size(), depth))
                << text << " at depth " << depth;
            EXPECT_EQ(jsonDepthWithin(text.data(), text.size(), depth), reference::depthWithin(text.data(), text.size(), depth))
                << text << " at depth " << depth;
        }
    }
    // An escape that ends one block hides the quote that begins the next.
    std::string straddling = "{\"k\":\"" + std::string(57, 'x') + "\\\"}\"}";
    ASSERT_EQ(straddling.find('\\'), 63u);
    EXPECT_TRUE(isOneJsonObject(straddling.data(), straddling.size()));
    EXPECT_EQ(isOneJsonObject(straddling.data(), straddling.size()),
              reference::oneObject(straddling.data(), straddling.size(), kMaxJsonDepth));
}
