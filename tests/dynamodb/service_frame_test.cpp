// The DynamoDB service frame: error kinds, retry decisions, the request
// envelope, answers that cannot be used, and the table waits.

#include <gtest/gtest.h>

#include "dynamodb/AwsDynamoDBService.h"
#include "framework/MemoryStreams.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TestCredentials.h"

namespace {

TEST(AmazonError, MarkersAreTestedInOrder) {
    EXPECT_EQ(classifyError(""), Other);
    EXPECT_EQ(classifyError("#LimitExceededException #ThrottlingException"), Throttling);
    EXPECT_EQ(classifyError("#ResourceNotFoundException #LimitExceededException"), LimitExceeded);
    EXPECT_EQ(classifyError("#ResourceNotFoundException #ProvisionedThroughputExceededException"),
              ProvisionedThroughputExceeded);
    EXPECT_EQ(classifyError("#ResourceNotFoundException #ResourceInUseException"), ResourceInUse);
    EXPECT_EQ(classifyError(R"({"__type":"com.amazonaws.dynamodb.v20120810#ResourceNotFoundException"})"),
              ResourceNotFound);
    AmazonOutcome<bool> fresh;
    EXPECT_EQ(fresh.errorType, Other);
    EXPECT_FALSE(fresh.isSuccess());
}

struct CheckCase {
    int code;
    std::string body;
    bool retry;
    const char* logged;
};

TEST(DynamoDBResponseCheck, DecidesRetriesAndSaysWhy) {
    const std::vector<CheckCase> cases = {
        {500, "", true, "Internal service error response code 500"},
        {503, "x", true, "Internal service error response code 503"},
        {400, "", true, "Empty response"},
        {400, "#ThrottlingException", true, "Throttling exception"},
        {400, "#ProvisionedThroughputExceededException", true, "Throughput exceeded exception"},
        {400, "#LimitExceededException", true, "Limit exceeded exception"},
        {400, "#LimitExceededException: Provisioned throughput decreases are limited", false,
         "Limit exceeded exception"},
        {400, "#ValidationException", false, "Bad request with response #ValidationException"},
        {403, "#ThrottlingException", false, nullptr},
        {404, "", false, nullptr},
        {600, "", false, nullptr},
    };
    for (const auto& c : cases) {
        auto log = std::make_shared<MemoryLogSink>();
        TeskPrototypeEnvironment environment("check", log);
        AmazonResponse response{false, c.code, c.body, {}, {}};
        EXPECT_EQ(AwsDynamoDBService::responseCheck(environment, response), c.retry) << c.code << " " << c.body;
        if (c.logged)
            EXPECT_TRUE(log->contains(std::string("operator(): ") + c.logged)) << c.logged;
        else
            EXPECT_TRUE(log->lines().empty());
    }
}

struct FrameFixture : ::testing::Test {
    LoopbackHttpServer server;
    ScopedEnv endpoint{"AWS_ENDPOINT_URL_DYNAMODB", server.url()};
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    ManualClock clock{1700000000};
    TeskPrototypeEnvironment environment{"frame", log, &clock};
    AmazonCredentials credentials = testCredentials("eu-west-1");
};

TEST_F(FrameFixture, EnvelopeNamesTheServiceTargetAndRegionHost) {
    AwsDynamoDBService service(credentials, environment);
    AmazonRequest plain = service.baseRequest("Scan", false);
    EXPECT_EQ(plain.host, "dynamodb.eu-west-1.amazonaws.com");
    EXPECT_EQ(plain.headers["X-Amz-Target"], "DynamoDB_20120810.Scan");
    EXPECT_EQ(plain.headers["Content-Type"], "application/x-amz-json-1.0");
    EXPECT_EQ(plain.method, 1);
    EXPECT_EQ(plain.service, "dynamodb");

    AmazonCredentials china = credentials;
    china.region = "cn-northwest-1";
    AwsDynamoDBService chinaService(china, environment);
    AmazonRequest streams = chinaService.baseRequest("GetRecords", true);
    EXPECT_EQ(streams.host, "streams.dynamodb.cn-northwest-1.amazonaws.com.cn");
    EXPECT_EQ(streams.headers["X-Amz-Target"], "DynamoDBStreams_20120810.GetRecords");
    EXPECT_EQ(streams.service, "dynamodb");
}

TEST_F(FrameFixture, UnusableOkAnswersBecomeOtherErrorsWithTheBody) {
    AwsDynamoDBService service(credentials, environment);
    for (const char* body : {"not json at all", R"({"NoTable":{}})", R"({"Table":"text"})", "[1,2]",
                             R"(#ThrottlingException but 200)"}) {
        server.script({{200, body}});
        auto outcome = service.describeTable("orders");
        EXPECT_FALSE(outcome.isSuccess()) << body;
        EXPECT_EQ(outcome.errorType, Other) << body;
        EXPECT_EQ(outcome.errorMessage, body);
        EXPECT_EQ(outcome.result, nullptr);
    }
}

// With no answer there is no body to quote: the error says what was tried
// instead of being empty, and the failure that names the table carries it.
TEST_F(FrameFixture, NoAnswerIsAnErrorThatSaysWhy) {
    ScopedEnv unreachable("AWS_ENDPOINT_URL_DYNAMODB", "http://127.0.0.1:1");
    AwsDynamoDBService service(credentials, environment);
    auto outcome = service.describeTable("orders");
    EXPECT_FALSE(outcome.isSuccess());
    EXPECT_EQ(outcome.errorType, Other);
    EXPECT_EQ(outcome.errorMessage.rfind("no answer from http://127.0.0.1:1/ (", 0), 0u) << outcome.errorMessage;
}

TEST_F(FrameFixture, NamesCannotBreakOutOfTheirJsonString) {
    AwsDynamoDBService service(credentials, environment);
    server.script({{400, "#ResourceNotFoundException"}});
    service.describeTable("orders");
    service.describeTable(R"(evil","TableName":"other)");
    auto requests = server.requests();
    EXPECT_EQ(requests[0].body, R"({"TableName":"orders"})");
    EXPECT_EQ(requests[1].body, R"({"TableName":"evil\",\"TableName\":\"other"})");
}

TEST_F(FrameFixture, ARestartKeyCannotAddMembersToTheScan) {
    AwsDynamoDBService service(credentials, environment);
    server.script({{200, R"({"Items":[]})"}});
    MemoryOutput output("scan");
    std::string next;
    EXPECT_EQ(service.scanToStream("orders", 0, 2, R"({"id":{"S":"a"}},"TableName":"big")", &output, next), Other);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_NE(environment.getFailure().find("restart key of segment 0 of orders is not a JSON object"),
              std::string::npos);
    EXPECT_EQ(service.scanToStream("orders", 0, 2, R"({"id": {"S":"a"}})", &output, next), None);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].body,
              R"({"TableName":"orders","Segment":0,"TotalSegments":2,"ExclusiveStartKey":{"id":{"S":"a"}}})");
}

TEST_F(FrameFixture, ErrorAnswersAreClassifiedAndNotRetriedWhenFinal) {
    AwsDynamoDBService service(credentials, environment);
    server.script({{400, R"({"__type":"com.amazonaws.dynamodb.v20120810#ResourceNotFoundException",)"
                         R"("message":"Requested resource not found"})"}});
    auto outcome = service.describeTable("missing");
    EXPECT_EQ(outcome.errorType, ResourceNotFound);
    EXPECT_TRUE(AwsDynamoDBService::isResourceNotFoundError(outcome.errorMessage));
    EXPECT_EQ(server.requests().size(), 1u);

    server.script({{400, "#LimitExceededException Provisioned throughput decreases are limited"},
                   {200, R"({"TableDescription":{"TableName":"t"}})"}});
    auto refused = service.updateTableThroughputs("t", ProvisionedThroughput{1, 1});
    EXPECT_EQ(refused.errorType, LimitExceeded);
    EXPECT_TRUE(service.isProvisionedThroughputDecreaseError());
    auto accepted = service.updateTableThroughputs("t", ProvisionedThroughput{1, 1});
    EXPECT_TRUE(accepted.isSuccess());
    EXPECT_FALSE(service.isProvisionedThroughputDecreaseError());
    EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(FrameFixture, ThrottledCallsAreRetriedElevenTimes) {
    AwsDynamoDBService service(credentials, environment);
    server.script({{400, "#ThrottlingException"}});
    auto outcome = service.describeTable("busy");
    EXPECT_EQ(outcome.errorType, Throttling);
    EXPECT_EQ(server.requests().size(), 11u);
}

TEST_F(FrameFixture, WaitForActivePollsEveryTwoSecondsThroughTheClock) {
    AwsDynamoDBService service(credentials, environment);
    server.script({{200, R"({"Table":{"TableName":"t","TableStatus":"CREATING"}})"},
                   {400, "#ResourceNotFoundException"},
                   {200, R"({"Table":{"TableName":"t","TableStatus":"ACTIVE"}})"}});
    EXPECT_TRUE(service.waitForActiveTable("t", 300));
    EXPECT_EQ(clock.sleeps(), (std::vector<uint64_t>{2000, 2000}));
    EXPECT_TRUE(log->contains("waitForActiveTable: waitForActiveTable done"));

    clock.clearSleeps();
    server.script({{200, R"({"Table":{"TableName":"t","TableStatus":"UPDATING"}})"}});
    EXPECT_FALSE(service.waitForActiveTable("t", 0));
    EXPECT_EQ(clock.sleeps().size(), 1u);
    EXPECT_TRUE(log->contains("waitForActiveTable: waitForActiveTable timed out"));

    clock.clearSleeps();
    EXPECT_FALSE(service.waitForActiveTable("t", 10));
    EXPECT_EQ(clock.sleeps().size(), 6u); // gives up once more than 10 s have passed
}

TEST_F(FrameFixture, WaitForDeletedEndsOnlyWhenTheTableIsGone) {
    AwsDynamoDBService service(credentials, environment);
    server.script({{200, R"({"Table":{"TableName":"t","TableStatus":"DELETING"}})"},
                   {400, "#ValidationException"},
                   {400, "#ResourceNotFoundException"}});
    EXPECT_TRUE(service.waitForDeletedTable("t", 300));
    EXPECT_EQ(clock.sleeps().size(), 2u);
}

TEST_F(FrameFixture, ListingFailuresAreRecordedAndKeepWhatWasGathered) {
    AwsDynamoDBService service(credentials, environment);
    server.script({{200, R"({"GlobalTables":[{"GlobalTableName":"g1","ReplicationGroup":[{"RegionName":"a"}]}],)"
                         R"("LastEvaluatedGlobalTableName":"g1"})"},
                   {200, R"({"GlobalTables":[{"GlobalTableName":"g2"}]})"}});
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> regions;
    EXPECT_FALSE(service.listTables(true, names, regions));
    EXPECT_EQ(names, (std::vector<std::string>{"g1"}));
    EXPECT_EQ(regions.size(), 1u);
    EXPECT_EQ(environment.getFailure(), "ReplicationGroup for ListGlobalTables is not an array");
    EXPECT_NE(server.requests()[1].body.find(R"("ExclusiveStartGlobalTableName":"g1")"), std::string::npos);

    server.script({{500, ""}});
    EXPECT_FALSE(service.listTables(names));
    EXPECT_EQ(environment.getFailure(), "list tables failed with 500");
    server.script({{200, R"({"TableNames":"no"})"}});
    EXPECT_FALSE(service.listTables(names));
    EXPECT_EQ(environment.getFailure(), "ListTables did not return an array");
}

} // namespace
