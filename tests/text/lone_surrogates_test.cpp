// A string with a lone UTF-16 surrogate, which DynamoDB stores and returns,
// passes every parser and writer of items unchanged, and stays distinct
// from every other string.

#include <gtest/gtest.h>

#include "dynamodb/GetRecordsResult.h"
#include "text/JsonText.h"
#include "dynamodb/ScanResult.h"
#include "store/BackupVerifier.h"
#include "text/BoundedJson.h"
#include "framework/KeyString.h"
#include "text/LoneSurrogates.h"
#include "framework/MemoryStreams.h"

namespace {

std::string roundTrip(const std::string& text) {
    rapidjson::Document document;
    if (!parseBoundedJson(document, text)) return "(refused)";
    return json_text::compact(document);
}

TEST(LoneSurrogates, ParseAndWriteKeepTheEscape) {
    EXPECT_EQ(roundTrip(R"({"S":"a\ud800"})"), R"({"S":"a\ud800"})");
    EXPECT_EQ(roundTrip(R"({"S":"\uDC00b"})"), R"({"S":"\udc00b"})");
    EXPECT_EQ(roundTrip(R"({"S":"\ud800\ud800x\udfff"})"), R"({"S":"\ud800\ud800x\udfff"})");
    EXPECT_EQ(roundTrip(R"({"S":"\ud800\u0041"})"), R"({"S":"\ud800A"})");
    // A pair is one character, written as UTF-8; an escaped backslash is no escape.
    EXPECT_EQ(roundTrip(R"({"S":"\ud83d\ude00"})"), "{\"S\":\"\xF0\x9F\x98\x80\"}");
    EXPECT_EQ(roundTrip(R"({"S":"\\ud800"})"), R"({"S":"\\ud800"})");
    // Still refused: what is not JSON for other reasons.
    EXPECT_EQ(roundTrip(R"({"S":"\ud800)"), "(refused)");
    EXPECT_EQ(roundTrip(R"({"S":"\ud800\uzzzz"})"), "(refused)");
    EXPECT_FALSE(hasLoneHighSurrogate(R"("\\ud800")", 9));
    // A surrogate given as raw bytes is kept and written as its escape too
    // (found by fuzzing); next to a low one it reads back as the pair it
    // forms, the same UTF-16 string.
    EXPECT_EQ(roundTrip("{\"S\":\"a\xED\xA0\x80" "b\"}"), R"({"S":"a\ud800b"})");
    EXPECT_EQ(roundTrip("{\"S\":\"\xED\xA0\xBD\\ude00\"}"), R"({"S":"\ud83d\ude00"})");
}

TEST(LoneSurrogates, KeysStayDistinctFromLookAlikes) {
    const std::vector<std::string> names{"id"};
    const std::string lone = keyString(R"({"id":{"S":"a\ud800"}})", names);
    EXPECT_EQ(lone, R"([{"S":"a\ud800"}])");
    EXPECT_NE(lone, keyString(R"({"id":{"S":"a?"}})", names));
    EXPECT_NE(lone, keyString(R"({"id":{"S":"a\ufffd"}})", names));
    EXPECT_NE(lone, keyString(R"({"id":{"S":"a\udc00"}})", names));
    EXPECT_NE(lone, keyString("not json", names));
}

TEST(LoneSurrogates, ScanAndStreamPagesKeepThem) {
    MemoryOutput scan("scan");
    std::string key;
    ASSERT_TRUE(ScanResult::parseToStream(
        R"({"Items":[{"id":{"S":"k\uD800"},"v":{"S":"x\uDC00y"}},{"id":{"S":"plain"}}],"Count":2,)"
        R"("LastEvaluatedKey":{"id":{"S":"k\uDBFF"}}})",
        &scan, key));
    EXPECT_EQ(scan.data(), "{\"id\":{\"S\":\"k\\ud800\"},\"v\":{\"S\":\"x\\udc00y\"}}\n{\"id\":{\"S\":\"plain\"}}\n");
    EXPECT_EQ(key, R"({"id":{"S":"k\udbff"}})");

    MemoryOutput changes("shard");
    std::string iterator, sequence;
    int64_t time = 0;
    int count = 0;
    ASSERT_TRUE(GetRecordsResult::parseToStream(
        R"({"Records":[{"eventName":"INSERT","dynamodb":{"SequenceNumber":"1","NewImage":{"id":{"S":"\udc00"}}}},)"
        R"({"eventName":"REMOVE","dynamodb":{"SequenceNumber":"2","Keys":{"id":{"S":"\ud800"}}}}]})",
        &changes, iterator, sequence, time, count));
    EXPECT_EQ(changes.data(), "UPDATE: {\"id\":{\"S\":\"\\udc00\"}}\nREMOVE: {\"id\":{\"S\":\"\\ud800\"}}\n");
    EXPECT_EQ(count, 2);

    std::string why;
    EXPECT_TRUE(isDynamoDBItem(R"({"id":{"S":"k\ud800"}})", why)) << why;
}

} // namespace
