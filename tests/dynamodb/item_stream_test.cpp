// The full-backup item stream, the shard tree and item keys.

#include <gtest/gtest.h>

#include "dynamodb/ScanResult.h"
#include "dynamodb/StreamDescription.h"
#include "framework/KeyString.h"
#include "framework/MemoryStreams.h"

namespace {

TEST(ParseToStream, OnePageBecomesLinesInOneCallThenItsRestart) {
    MemoryOutput output("segment");
    std::string key = "old";
    const std::string page =
        R"({"Items":[{"b":{"S":"line\nfeed \"q\" \u0001 é"},"a":{"N":"12345678901234567890123456789012345678"}},)"
        R"({"id":{"B":"AAE="}},{"id":{"SS":["x","y"]},"m":{"M":{"l":{"L":[{"NULL":true},{"BOOL":false}]}}}}],)"
        R"("Count":3,"LastEvaluatedKey":{"id":{"S":"k9"}}})";
    ASSERT_TRUE(ScanResult::parseToStream(page, &output, key));
    EXPECT_EQ(output.putCount(), 1u);
    EXPECT_EQ(output.data(),
              "{\"b\":{\"S\":\"line\\nfeed \\\"q\\\" \\u0001 é\"},\"a\":{\"N\":\"12345678901234567890123456789012345678\"}}\n"
              "{\"id\":{\"B\":\"AAE=\"}}\n"
              "{\"id\":{\"SS\":[\"x\",\"y\"]},\"m\":{\"M\":{\"l\":{\"L\":[{\"NULL\":true},{\"BOOL\":false}]}}}}\n");
    EXPECT_EQ(key, R"({"id":{"S":"k9"}})");
    EXPECT_EQ(output.restart(), key);
}

// An item line is what writing the item compactly gives, whether it was
// copied from the answer (DynamoDB's own form) or had to be re-written: the
// stored bytes, and so their hashes, do not depend on the answer's form.
TEST(ParseToStream, ItemLinesAreTheCompactFormWhateverTheAnswersForm) {
    const std::vector<std::pair<std::string, std::string>> items = {
        {R"({"a":{"S":"plain"}})", R"({"a":{"S":"plain"}})"},
        {R"({"a":{"S":"t\tn\nq\"b\\r\rf\fb\b"}})", R"({"a":{"S":"t\tn\nq\"b\\r\rf\fb\b"}})"},
        {R"({"a":{"S":"\u0001\u001F"}})", R"({"a":{"S":"\u0001\u001F"}})"},
        {R"({"a":{"S":"\u001f"}})", R"({"a":{"S":"\u001F"}})"},
        {R"({"a":{"S":"\u0008\u0009\u000a"}})", R"({"a":{"S":"\b\t\n"}})"},
        {R"({"a":{"S":"\/ \u00e9 \u007f"}})", "{\"a\":{\"S\":\"/ \xc3\xa9 \x7f\"}}"},
        {R"({"a":{"S":"\ud83c\udf89"}})", "{\"a\":{\"S\":\"\xf0\x9f\x8e\x89\"}}"},
        {"{ \"a\" : {\"S\":\"x y\"},\n\t\"b\":[ 1 , 2.50 ] }", R"({"a":{"S":"x y"},"b":[1,2.50]})"},
        {R"({"n":[-3e5,0.1,12345678901234567890123]})", R"({"n":[-3e5,0.1,12345678901234567890123]})"},
        {R"({"u":{"S":"日本 🎉 \\ \""}})", R"({"u":{"S":"日本 🎉 \\ \""}})"},
    };
    for (const auto& item : items) {
        MemoryOutput output("segment");
        std::string key;
        ASSERT_TRUE(ScanResult::parseToStream("{\"Items\":[" + item.first + "," + item.first + "]}", &output, key))
            << item.first;
        EXPECT_EQ(output.data(), item.second + "\n" + item.second + "\n") << item.first;
    }
}

// The export parses each answer in its own buffer: the items, as DynamoDB
// wrote them, become lines where they lie. Whatever the page holds (items
// that must be re-written, space between items, a lone surrogate), the
// lines and the key are those of the copying parse, byte for byte.
TEST(ParseToStream, LinesMadeInTheAnswersOwnBytesAreTheSameLines) {
    const std::string plain = R"({"a":{"S":"1"},"b":{"N":"2"}})";
    const std::string respelled = R"({"a":{"S":"\u001f"}})";
    const std::vector<std::string> pages = {
        "{\"Items\":[" + plain + "]}",
        "{\"Items\":[" + plain + "," + plain + "," + plain + "],\"Count\":3,\"LastEvaluatedKey\":{\"a\":{\"S\":\"9\"}}}",
        "{\"Items\":[" + plain + "," + respelled + "," + plain + "]}",
        "{\"Items\":[" + respelled + "," + plain + "]}",
        "{\"Items\":[" + plain + ", " + plain + " ,\n" + plain + " ] }",
        "{\"Items\":[" + plain + R"(,{"s":{"S":"\udc00 lone"}}]})",
        R"({"Items":[{"s":{"S":"\ud800 lone high"}},)" + plain + "]}",
        R"({"Items":[],"Count":0})",
    };
    for (const auto& page : pages) {
        MemoryOutput copied("copied"), inPlace("in place");
        std::string copiedKey, inPlaceKey;
        ASSERT_TRUE(ScanResult::parseToStream(page, &copied, copiedKey)) << page;
        std::string writable = page;
        ASSERT_TRUE(ScanResult::parseToStreamInPlace(writable, &inPlace, inPlaceKey)) << page;
        EXPECT_EQ(inPlace.data(), copied.data()) << page;
        EXPECT_EQ(inPlace.putCount(), 1u) << page;
        EXPECT_EQ(inPlaceKey, copiedKey) << page;
    }
    // A page that does not parse leaves no line behind, in place or not.
    MemoryOutput refused("refused");
    std::string key, broken = "{\"Items\":[" + plain + "," + plain + "],\"Count\":3}";
    EXPECT_FALSE(ScanResult::parseToStreamInPlace(broken, &refused, key));
    EXPECT_TRUE(refused.data().empty());
}

TEST(ParseToStream, LastAndEmptyPages) {
    MemoryOutput output("segment");
    std::string key = "x";
    ASSERT_TRUE(ScanResult::parseToStream(R"({"Items":[{"a":{"S":"1"}}]})", &output, key));
    EXPECT_EQ(key, "");
    EXPECT_EQ(output.restart(), "");
    ASSERT_TRUE(ScanResult::parseToStream(R"({"Items":[],"Count":0,"LastEvaluatedKey":{"a":{"S":"2"}}})", &output, key));
    EXPECT_EQ(output.putCount(), 2u);
    EXPECT_EQ(output.data(), "{\"a\":{\"S\":\"1\"}}\n");
    EXPECT_EQ(key, R"({"a":{"S":"2"}})");
}

TEST(ParseToStream, UnreadablePagesNeverPassForTheEndOfTheSegment) {
    for (const char* body : {"", "garbage", "[]", "\"text\"", R"({"Items":[)"}) {
        MemoryOutput output("segment");
        output.updateRestart("previous");
        std::string key = "previous";
        EXPECT_FALSE(ScanResult::parseToStream(body, &output, key)) << body;
        EXPECT_EQ(key, "previous") << body;
        EXPECT_EQ(output.restart(), "previous") << body;
        EXPECT_EQ(output.bytes(), 0u) << body;
    }
}

TEST(ParseToStream, RefusedPageRecordsNoRestart) {
    MemoryOutput output("segment");
    output.refuseData(true);
    std::string key = "before";
    EXPECT_FALSE(ScanResult::parseToStream(R"({"Items":[{"a":{"S":"1"}}],"LastEvaluatedKey":{"a":{"S":"1"}}})",
                                           &output, key));
    EXPECT_EQ(key, "before");
    EXPECT_EQ(output.restart(), "");
}

TEST(ScanRequest, BodyHasTheStartKeyOnlyWhenItHasMembers) {
    ScanRequest request;
    request.tableName = "t";
    request.segment = 2;
    request.totalSegments = 8;
    EXPECT_EQ(request.asJson(), R"({"TableName":"t","Segment":2,"TotalSegments":8})");
    request.exclusiveStartKey.Parse("{}");
    EXPECT_EQ(request.asJson(), R"({"TableName":"t","Segment":2,"TotalSegments":8})");
    request.exclusiveStartKey.Parse(R"({"id":{"S":"a"}})");
    EXPECT_EQ(request.asJson(), R"({"TableName":"t","Segment":2,"TotalSegments":8,"ExclusiveStartKey":{"id":{"S":"a"}}})");
}

TEST(StreamDescription, TreeOfShardsAcrossPages) {
    rapidjson::Document first;
    first.Parse(R"({"StreamArn":"arn:s","StreamStatus":"ENABLED","StreamViewType":"NEW_IMAGE","TableName":"t",)"
                R"("Shards":[{"ShardId":"A","SequenceNumberRange":{"StartingSequenceNumber":"1","EndingSequenceNumber":"9"}},)"
                R"({"ShardId":"B","ParentShardId":"A","SequenceNumberRange":{"StartingSequenceNumber":"10"}}]})");
    rapidjson::Document second;
    second.Parse(R"({"StreamArn":"arn:s","Shards":[{"ShardId":"C","ParentShardId":"A"},{"ShardId":"D","ParentShardId":"gone"}]})");
    StreamDescription stream;
    EXPECT_EQ(stream.treeToJson(5, {}), R"({"roots":[],"children":{},"context":{},"time":5})");
    stream.update(first, false);
    stream.update(second, false);
    ASSERT_EQ(stream.shards.size(), 4u);
    EXPECT_EQ(stream.shards[1].endingSequenceNumber, "");
    EXPECT_EQ(stream.shards[2].startingSequenceNumber, "");
    EXPECT_EQ(stream.treeToJson(-7, {{"B", "finished"}, {"A", "123"}}),
              R"({"roots":["A","D"],"children":{"A":["B","C"]},"context":{"A":"123","B":"finished"},"time":-7,"stream":"arn:s"})");
    stream.update(second, true);
    EXPECT_EQ(stream.shards.size(), 2u);
}

TEST(KeyString, SameKeyWhateverTheOrderAndOtherAttributes) {
    const std::vector<std::string> keys = {"pk", "sk"};
    EXPECT_EQ(keyString(R"({"pk":{"S":"a"},"sk":{"N":"1"},"x":{"S":"1"}})", keys),
              keyString(R"({"y":{"BOOL":true},"sk":{"N":"1"},"pk":{"S":"a"}})", keys));
    EXPECT_NE(keyString(R"({"pk":{"S":"a"},"sk":{"N":"1"}})", keys), keyString(R"({"pk":{"S":"a"},"sk":{"N":"2"}})", keys));
    EXPECT_NE(keyString(R"({"pk":{"S":"a"},"sk":{"S":"1"}})", keys), keyString(R"({"pk":{"S":"a"},"sk":{"N":"1"}})", keys));
    EXPECT_EQ(keyString("not json", keys), "[null,null]");
}

} // namespace
