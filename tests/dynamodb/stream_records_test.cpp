// The incremental item stream and the Streams operations' requests.

#include <gtest/gtest.h>

#include "dynamodb/AwsDynamoDBService.h"
#include "dynamodb/GetRecordsResult.h"
#include "framework/MemoryStreams.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TestCredentials.h"

namespace {

std::string record(const char* event, const std::string& sequence, const char* time = "1700000000") {
    return std::string(R"({"eventID":"e","eventName":")") + event + R"(","dynamodb":{"ApproximateCreationDateTime":)" +
           time + R"(,"Keys":{"id":{"S":"k)" + sequence + R"("}},"NewImage":{"id":{"S":"k)" + sequence +
           R"("},"t":{"S":"a\nb"}},"SequenceNumber":")" + sequence + R"("}})";
}

TEST(RecordsToStream, EachRecordIsOneLineWithItsSequenceNumberAsRestart) {
    MemoryOutput output("shard");
    std::string next, last;
    int64_t time = -1;
    int count = -1;
    const std::string page = R"({"Records":[)" + record("INSERT", "1") + "," + record("MODIFY", "2") + "," +
                             record("REMOVE", "3", "1700000005.5") + R"(],"NextShardIterator":"it-2"})";
    ASSERT_TRUE(GetRecordsResult::parseToStream(page, &output, next, last, time, count));
    EXPECT_EQ(output.data(), "UPDATE: {\"id\":{\"S\":\"k1\"},\"t\":{\"S\":\"a\\nb\"}}\n"
                             "UPDATE: {\"id\":{\"S\":\"k2\"},\"t\":{\"S\":\"a\\nb\"}}\n"
                             "REMOVE: {\"id\":{\"S\":\"k3\"}}\n");
    EXPECT_EQ(output.putCount(), 3u);
    EXPECT_EQ(output.restart(), "3");
    EXPECT_EQ(last, "3");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(time, 1700000005);
    EXPECT_EQ(next, "it-2");
}

TEST(RecordsToStream, EmptyPagesAndClosedShards) {
    MemoryOutput output("shard");
    std::string next = "x", last = "x";
    int64_t time = 9;
    int count = 9;
    ASSERT_TRUE(GetRecordsResult::parseToStream(R"({"Records":[],"NextShardIterator":"it"})", &output, next, last, time, count));
    EXPECT_EQ(next, "it");
    EXPECT_EQ(last, "");
    EXPECT_EQ(count, 0);
    EXPECT_EQ(time, 0);
    EXPECT_EQ(output.putCount(), 0u);
    ASSERT_TRUE(GetRecordsResult::parseToStream(R"({"Records":[]})", &output, next, last, time, count));
    EXPECT_EQ(next, "");
}

TEST(RecordsToStream, StopRequestEndsThePageAfterTheCurrentRecord) {
    MemoryOutput output("shard");
    output.requestStop();
    std::string page = R"({"Records":[)";
    for (int i = 1; i <= 5; ++i) page += (i > 1 ? "," : "") + record("INSERT", std::to_string(i));
    page += R"(],"NextShardIterator":"more"})";
    std::string next, last;
    int64_t time = 0;
    int count = 0;
    ASSERT_TRUE(GetRecordsResult::parseToStream(page, &output, next, last, time, count));
    EXPECT_EQ(count, 1);
    EXPECT_EQ(next, "");
    EXPECT_EQ(last, "1");
}

TEST(RecordsToStream, UnreadablePagesAndRecordsAreRefused) {
    const std::vector<std::string> bad = {
        "", "not json", "[]",
        R"({"Records":[{"dynamodb":{"SequenceNumber":"1"}}],"NextShardIterator":"x"})",
        R"({"Records":[{"eventName":"INSERT"}]})",
        R"({"Records":[{"eventName":"INSERT","dynamodb":{"NewImage":{}}}]})",
    };
    for (const auto& body : bad) {
        MemoryOutput output("shard");
        std::string next, last;
        int64_t time = 0;
        int count = 0;
        EXPECT_FALSE(GetRecordsResult::parseToStream(body, &output, next, last, time, count)) << body;
        EXPECT_EQ(next, "") << body;
    }
    MemoryOutput refusing("shard");
    refusing.refuseData(true);
    std::string next, last;
    int64_t time = 0;
    int count = 0;
    EXPECT_FALSE(GetRecordsResult::parseToStream(R"({"Records":[)" + record("INSERT", "1") + "]}", &refusing, next,
                                                 last, time, count));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(refusing.restart(), "");
}

TEST(RecordsToStream, AssignClassifiesEventsExactly) {
    rapidjson::Document document;
    document.Parse((R"({"Records":[)" + record("INSERT", "1") + "," + record("MODIFY", "2") + "," +
                    record("REMOVE", "3") + "," + R"({"eventName":"Insert","dynamodb":{"SequenceNumber":"4"}}]})")
                       .c_str());
    GetRecordsResult result;
    result.assign(document);
    ASSERT_EQ(result.records.size(), 4u);
    EXPECT_EQ(result.records[0].eventType, 0);
    EXPECT_EQ(result.records[1].eventType, 1);
    EXPECT_EQ(result.records[2].eventType, 2);
    EXPECT_EQ(result.records[2].data, R"({"id":{"S":"k3"}})");
    EXPECT_EQ(result.records[3].eventType, 2);
    EXPECT_EQ(result.records[3].data, "null");
    EXPECT_EQ(result.nextShardIterator, "");
}

struct StreamOpsFixture : ::testing::Test {
    LoopbackHttpServer server;
    ScopedEnv endpoint{"AWS_ENDPOINT_URL_DYNAMODB_STREAMS", server.url()};
    TeskPrototypeEnvironment environment{"streams", std::make_shared<MemoryLogSink>()};
    AmazonCredentials credentials = testCredentials("us-east-1");
};

TEST_F(StreamOpsFixture, DescribeStreamFollowsShardPages) {
    AwsDynamoDBService service(credentials, environment);
    server.script({{200, R"({"StreamDescription":{"StreamArn":"arn:s","StreamStatus":"ENABLED","Shards":[{"ShardId":"A"}],"LastEvaluatedShardId":"A"}})"},
                   {200, R"({"StreamDescription":{"StreamArn":"arn:s","StreamStatus":"ENABLED","StreamViewType":"NEW_IMAGE","Shards":[{"ShardId":"B","ParentShardId":"A"}]}})"}});
    auto outcome = service.describeStream("arn:s");
    ASSERT_TRUE(outcome.isSuccess()) << outcome.errorMessage;
    ASSERT_EQ(outcome.result->shards.size(), 2u);
    EXPECT_EQ(outcome.result->shards[1].parentShardId, "A");
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].body, R"({"StreamArn":"arn:s"})");
    EXPECT_EQ(requests[1].body, R"({"StreamArn":"arn:s", "ExclusiveStartShardId": "A"})");
    EXPECT_EQ(requests[1].headers.at("x-amz-target"), "DynamoDBStreams_20120810.DescribeStream");
    EXPECT_EQ(requests[1].headers.at("host"), "streams.dynamodb.us-east-1.amazonaws.com");
    EXPECT_NE(requests[0].headers.at("x-amz-date"), "");

    server.script({{200, R"({"StreamDescription":{"Shards":[{"ShardId":"A"}],"LastEvaluatedShardId":"A"}})"},
                   {400, "#ResourceNotFoundException"}});
    auto failed = service.describeStream("arn:s");
    EXPECT_EQ(failed.errorType, ResourceNotFound);
    EXPECT_EQ(failed.result, nullptr);
}

TEST_F(StreamOpsFixture, ShardIteratorTypesAndRecordErrors) {
    AwsDynamoDBService service(credentials, environment);
    server.script({{200, R"({"ShardIterator":"it-1"})"}});
    auto first = service.getShardIterator("arn:s", "A", "");
    ASSERT_TRUE(first.isSuccess());
    EXPECT_EQ(*first.result, "it-1");
    service.getShardIterator("arn:s", "A", "42");
    auto requests = server.requests();
    EXPECT_EQ(requests[0].body, R"({"StreamArn":"arn:s","ShardId":"A","ShardIteratorType":"TRIM_HORIZON"})");
    EXPECT_EQ(requests[1].body,
              R"({"StreamArn":"arn:s","ShardId":"A","ShardIteratorType":"AFTER_SEQUENCE_NUMBER","SequenceNumber":"42"})");

    server.script({{400, R"({"__type":"com.amazonaws.dynamodb.v20120810#ExpiredIteratorException"})"}});
    MemoryOutput output("shard");
    std::string next = "keep", last = "keep";
    int64_t time = 7;
    int count = 7;
    AmazonError error = None;
    AmazonResponse response = service.getRecordsToStream("it-1", &output, next, last, time, count, error);
    EXPECT_EQ(response.httpCode, 400);
    EXPECT_EQ(error, Other);
    EXPECT_EQ(next, "keep");
    EXPECT_EQ(output.putCount(), 0u);
    EXPECT_EQ(server.requests().size(), 3u); // not retried
}

} // namespace
