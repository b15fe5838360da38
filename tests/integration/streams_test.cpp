// Stream operations through the real HTTP path against the local endpoint's
// Streams API: records of puts, updates and deletes, resuming after a
// sequence number, shard trees across shard pages, and trimmed and vanished
// shards.

#include <gtest/gtest.h>

#include "dynamodb/AwsDynamoDBService.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "tests/support/JsonLines.h"
#include "tests/support/LocalAdmin.h"
#include "tests/support/LocalDynamo.h"

namespace {

struct StreamsFixture : ::testing::Test {
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    TeskPrototypeEnvironment environment{"streams", log};
    AmazonCredentials credentials = localCredentials();

    std::string createStreamTable(AwsDynamoDBService& service, const std::string& viewType) {
        const std::string name = uniqueTableName("stream");
        auto created = service.createTable(
            R"({"TableName":")" + name +
            R"(","AttributeDefinitions":[{"AttributeName":"id","AttributeType":"S"}],"KeySchema":[{"AttributeName":"id","KeyType":"HASH"}],)"
            R"("ProvisionedThroughput":{"ReadCapacityUnits":5,"WriteCapacityUnits":5},"StreamSpecification":{"StreamEnabled":true,"StreamViewType":")" +
            viewType + R"("}})");
        EXPECT_TRUE(created.isSuccess()) << created.errorMessage;
        return name;
    }

    // Reads a shard to its current end from `after` (empty: the oldest record).
    std::string readShard(AwsDynamoDBService& service, const std::string& arn, const std::string& shard,
                          const std::string& after, std::string& last) {
        auto iterator = service.getShardIterator(arn, shard, after);
        EXPECT_TRUE(iterator.isSuccess()) << iterator.errorMessage;
        if (!iterator.isSuccess()) return "";
        MemoryOutput output("shard");
        std::string next = *iterator.result;
        last = after;
        for (int pages = 0; !next.empty() && pages < 5; ++pages) {
            std::string sequence;
            int64_t time = 0;
            int count = 0;
            AmazonError error = Other;
            service.getRecordsToStream(next, &output, next, sequence, time, count, error);
            EXPECT_EQ(error, None);
            if (count == 0) break;
            last = sequence;
        }
        return output.data();
    }
};

TEST_F(StreamsFixture, ChangesBecomeLinesAndResumeAfterTheirSequenceNumber) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, environment);
    const std::string table = createStreamTable(service, "NEW_AND_OLD_IMAGES");
    ASSERT_TRUE(service.batchPutItems(table, {R"({"id":{"S":"a"},"v":{"N":"1"}})", R"({"id":{"S":"b"}})"}).isSuccess());

    auto arns = service.listStreams(table);
    ASSERT_TRUE(arns.isSuccess()) << arns.errorMessage;
    ASSERT_EQ(arns.result->size(), 1u);
    const std::string arn = arns.result->front();
    EXPECT_EQ(service.describeTable(table).result->latestStreamArn, arn);

    auto stream = service.describeStream(arn);
    ASSERT_TRUE(stream.isSuccess()) << stream.errorMessage;
    EXPECT_EQ(stream.result->streamStatus, "ENABLED");
    EXPECT_EQ(stream.result->streamViewType, "NEW_AND_OLD_IMAGES");
    ASSERT_EQ(stream.result->shards.size(), 1u);
    const std::string shard = stream.result->shards[0].shardId;

    std::string last;
    EXPECT_TRUE(sameJsonLines(readShard(service, arn, shard, "", last),
                              "UPDATE: {\"id\":{\"S\":\"a\"},\"v\":{\"N\":\"1\"}}\nUPDATE: {\"id\":{\"S\":\"b\"}}\n"));

    std::map<std::string, WriteRequest> changes = {{"a", {1, R"({"id":{"S":"a"},"v":{"N":"2"}})"}},
                                                   {"b", {2, R"({"id":{"S":"b"}})"}}};
    ASSERT_TRUE(service.batchWriteItems(table, {"id"}, changes).isSuccess());
    std::string after;
    EXPECT_TRUE(sameJsonLines(readShard(service, arn, shard, last, after),
                              "UPDATE: {\"id\":{\"S\":\"a\"},\"v\":{\"N\":\"2\"}}\nREMOVE: {\"id\":{\"S\":\"b\"}}\n"));
    EXPECT_GT(after, last);
}

TEST_F(StreamsFixture, ShardTreeSpansShardPages) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, environment);
    const std::string table = createStreamTable(service, "NEW_IMAGE");
    ASSERT_EQ(rollShard(service, table, 2), 200); // the first shard splits in two
    for (int i = 0; i < 100; ++i) ASSERT_EQ(rollShard(service, table), 200);
    const std::string arn = service.describeTable(table).result->latestStreamArn;
    auto stream = service.describeStream(arn);
    ASSERT_TRUE(stream.isSuccess()) << stream.errorMessage;
    ASSERT_EQ(stream.result->shards.size(), 103u); // more than one page of 100
    const std::string tree = stream.result->treeToJson(5, {});
    const Shard& root = stream.result->shards[0];
    EXPECT_EQ(tree.rfind(R"({"roots":[")" + root.shardId + R"("],"children":{")", 0), 0u) << tree.substr(0, 200);
    EXPECT_NE(tree.find(R"(")" + root.shardId + R"(":[")" + stream.result->shards[1].shardId + R"(",")" +
                        stream.result->shards[2].shardId + R"("])"),
              std::string::npos);
    EXPECT_FALSE(root.endingSequenceNumber.empty());
    EXPECT_TRUE(stream.result->shards.back().endingSequenceNumber.empty());
}

TEST_F(StreamsFixture, VanishedAndTrimmedShardsAnswerAsDynamoDBDoes) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, environment);
    const std::string table = createStreamTable(service, "NEW_IMAGE");
    ASSERT_TRUE(service.batchPutItems(table, {R"({"id":{"S":"a"}})", R"({"id":{"S":"b"}})", R"({"id":{"S":"c"}})"})
                    .isSuccess());
    const std::string arn = service.describeTable(table).result->latestStreamArn;
    const std::string shard = service.describeStream(arn).result->shards[0].shardId;
    std::string last;
    readShard(service, arn, shard, "", last);
    ASSERT_FALSE(last.empty());

    // Past the retention period: the oldest two records are gone.
    ASSERT_EQ(trimStream(service, table, 2), 200);
    auto trimmed = service.getShardIterator(arn, shard, std::string(last.size(), '0'));
    EXPECT_FALSE(trimmed.isSuccess());
    EXPECT_NE(trimmed.errorMessage.find("TrimmedDataAccessException"), std::string::npos) << trimmed.errorMessage;
    std::string afterTrim;
    EXPECT_TRUE(sameJsonLines(readShard(service, arn, shard, "", afterTrim), "UPDATE: {\"id\":{\"S\":\"c\"}}\n"));

    ASSERT_EQ(vanishShard(service, table, shard), 200);
    EXPECT_TRUE(service.describeStream(arn).result->shards.empty());
    auto iterator = service.getShardIterator(arn, shard, "");
    EXPECT_EQ(iterator.errorType, ResourceNotFound);
    EXPECT_NE(iterator.errorMessage.find("Shard does not exist"), std::string::npos);
}

} // namespace
