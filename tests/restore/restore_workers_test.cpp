// The restore workers against a loopback DynamoDB: batch sizes, the last
// change per key, unprocessed entries, failures that must not pass silently,
// the item multiplier, and the parent-before-child order of shards.

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include <rapidjson/document.h>

#include "framework/TeskPrototypeEnvironment.h"
#include "restore/AwsDynamoDBRestoreRunner.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TestCredentials.h"

namespace {

// The entries of a BatchWriteItem body, as "P:<id>" or "D:<id>".
std::vector<std::string> entriesOf(const std::string& body) {
    rapidjson::Document document;
    document.Parse(body.c_str());
    std::vector<std::string> entries;
    if (document.HasParseError()) return entries;
    for (const auto& table : document["RequestItems"].GetObject())
        for (const auto& entry : table.value.GetArray()) {
            if (entry.HasMember("PutRequest"))
                entries.push_back(std::string("P:") + entry["PutRequest"]["Item"]["id"]["S"].GetString());
            else
                entries.push_back(std::string("D:") + entry["DeleteRequest"]["Key"]["id"]["S"].GetString());
        }
    return entries;
}

std::string item(int i) { return R"({"id":{"S":"i)" + std::to_string(i) + R"("},"v":{"N":"1"}})"; }

struct WorkersFixture : ::testing::Test {
    LoopbackHttpServer server;
    ScopedEnv endpoint{"AWS_ENDPOINT_URL_DYNAMODB", server.url()};
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    ManualClock clock{1700000000};
    TeskPrototypeEnvironment environment{"restore", log, &clock};
    AmazonCredentials credentials = testCredentials("us-east-1");

    FullRestoreArgs fullArgs(const std::string& lines) {
        environment.putInput(TeskPrototypeEnvironment::segmentName("src", 0), lines);
        FullRestoreArgs args;
        args.credentials = &credentials;
        args.destinationTable = "dst";
        args.sourceTable = "src";
        args.environment = &environment;
        args.segment = 0;
        args.keySchema = {"id"};
        return args;
    }
};

TEST_F(WorkersFixture, FullSegmentGoesOutInBatchesOfTwentyFive) {
    std::string lines;
    for (int i = 0; i < 60; ++i) lines += item(i) + "\n" + (i == 30 ? "\n" : "");
    server.script({{200, R"({"UnprocessedItems":{}})"}});
    FullRestoreArgs args = fullArgs(lines);
    EXPECT_TRUE(AwsDynamoDBRestoreRunner::executeFullRestoreLowLevel(&args));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(entriesOf(requests[0].body).size(), 25u);
    EXPECT_EQ(entriesOf(requests[1].body).size(), 25u);
    EXPECT_EQ(entriesOf(requests[2].body).size(), 10u);
    EXPECT_EQ(requests[0].headers.at("x-amz-target"), "DynamoDB_20120810.BatchWriteItem");
    EXPECT_TRUE(log->contains("fullRestoreThread: Empty line"));
    EXPECT_TRUE(log->contains("Replaying full backup scan number 0"));
}

// A line from a file that closes its item early would splice a request of
// its own (here, a delete of another item) into the batch.
TEST_F(WorkersFixture, ALineThatIsNotOneObjectIsNeverSent) {
    server.script({{200, R"({"UnprocessedItems":{}})"}});
    FullRestoreArgs args = fullArgs(item(1) + "\n" +
                                    R"({"id":{"S":"a"}}}},{"DeleteRequest":{"Key":{"id":{"S":"victim"}}}},{"PutRequest":{"Item":{"id":{"S":"c"}})" +
                                    "\n");
    EXPECT_FALSE(AwsDynamoDBRestoreRunner::executeFullRestoreLowLevel(&args));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_NE(environment.getFailure().find("not one JSON object"), std::string::npos) << environment.getFailure();
}

TEST_F(WorkersFixture, UnprocessedItemsAreResentAfterAPause) {
    std::string lines;
    for (int i = 0; i < 25; ++i) lines += item(i) + "\n";
    server.script({{200, R"({"UnprocessedItems":{"dst":[{"PutRequest":{"Item":{"id":{"S":"i3"},"v":{"N":"1"}}}}]}})"},
                   {200, R"({"UnprocessedItems":{"dst":[{"PutRequest":{"Item":{"id":{"S":"i3"},"v":{"N":"1"}}}}]}})"},
                   {200, R"({"UnprocessedItems":{}})"}});
    FullRestoreArgs args = fullArgs(lines);
    EXPECT_TRUE(AwsDynamoDBRestoreRunner::executeFullRestoreLowLevel(&args));
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(entriesOf(requests[2].body), std::vector<std::string>{"P:i3"});
    EXPECT_EQ(clock.sleeps(), (std::vector<uint64_t>{50, 100}));
}

TEST_F(WorkersFixture, BatchesThatKeepFailingFailTheWorkerLoudly) {
    // Throttled: the request layer's 11 attempts, then 8 more rounds of them.
    server.script({{400, R"({"__type":"com.amazonaws.dynamodb.v20120810#ThrottlingException"})"}});
    FullRestoreArgs args = fullArgs(item(1) + "\n");
    EXPECT_FALSE(AwsDynamoDBRestoreRunner::executeFullRestoreLowLevel(&args));
    EXPECT_EQ(server.requests().size(), 9u * 11u);
    EXPECT_NE(environment.getFailure().find("BatchWriteItem to dst failed 9 times, giving up on 1 entries"),
              std::string::npos);

    // Rejected outright: no point in sending it again.
    server.script({{400, R"({"__type":"com.amazonaws.dynamodb.v20120810#ValidationException","message":"bad item"})"}});
    FullRestoreArgs rejected = fullArgs(item(2) + "\n");
    EXPECT_FALSE(AwsDynamoDBRestoreRunner::executeFullRestoreLowLevel(&rejected));
    EXPECT_EQ(server.requests().size(), 9u * 11u + 1u);
    EXPECT_NE(environment.getFailure().find("failed 1 times, giving up on 1 entries: "), std::string::npos);
    EXPECT_NE(environment.getFailure().find("bad item"), std::string::npos);
}

TEST_F(WorkersFixture, MultiplierWritesEachItemUnderNewHashKeys) {
    server.script({{200, R"({"UnprocessedItems":{}})"}});
    FullRestoreArgs args = fullArgs(R"({"v":{"S":"x"},"id":{"N":"7"}})" "\n");
    args.itemMultiplier = 3;
    EXPECT_TRUE(AwsDynamoDBRestoreRunner::executeFullRestoreLowLevel(&args));
    EXPECT_EQ(entriesOf(server.requests()[0].body), (std::vector<std::string>{"P:7_1", "P:7_2", "P:7_3"}));
}

TEST_F(WorkersFixture, IncrementalKeepsTheLastChangePerKey) {
    server.script({{200, R"({"UnprocessedItems":{}})"}});
    auto argsMap = std::make_shared<IncrementalArgsMap>();
    environment.putInput(TeskPrototypeEnvironment::shardName("S1", 10),
                         "UPDATE: " + item(1) + "\nshort!\nUPDATE: " + item(2) + "\nREMOVE: {\"id\":{\"S\":\"i1\"}}\n");
    auto* args = new IncrementalRestoreArgs(&credentials, "dst", "S1", &environment, 10, {"id"}, argsMap, {}, nullptr,
                                            nullptr);
    EXPECT_TRUE(AwsDynamoDBRestoreRunner::executeIncrementalRestoreLowLevel(args));
    ASSERT_EQ(server.requests().size(), 1u);
    auto entries = entriesOf(server.requests()[0].body);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"D:i1", "P:i2"}));
    AwsDynamoDBRestoreRunner::cleanupAllArgs(argsMap);
    EXPECT_TRUE(argsMap->empty());

    // Without a key schema every change would share one key, and all but
    // the last of each batch would be dropped: nothing is sent at all.
    auto* keyless = new IncrementalRestoreArgs(&credentials, "dst", "S1", &environment, 10, {}, argsMap, {}, nullptr,
                                               nullptr);
    EXPECT_FALSE(AwsDynamoDBRestoreRunner::executeIncrementalRestoreLowLevel(keyless));
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_NE(environment.getFailure().find("no key schema"), std::string::npos);
    AwsDynamoDBRestoreRunner::cleanupAllArgs(argsMap);
}

TEST_F(WorkersFixture, ChildShardsStartOnlyAfterTheirParentIsWritten) {
    std::mutex mutex;
    std::vector<std::string> order;
    server.handler([&](const RecordedRequest& request) -> CannedResponse {
        std::lock_guard<std::mutex> guard(mutex);
        for (const auto& entry : entriesOf(request.body)) order.push_back(entry);
        return {200, R"({"UnprocessedItems":{}})"};
    });
    environment.putInput("metadata.json", R"({"roots":["A","B"],"children":{"A":["C","D"]},"context":{},"time":10})");
    for (const char* shard : {"A", "B", "C", "D"})
        environment.putInput(TeskPrototypeEnvironment::shardName(shard, 10),
                             std::string("UPDATE: {\"id\":{\"S\":\"") + shard + "\"}}\n");
    AwsDynamoDBRestoreRunner runner(credentials, environment);
    HxCriticalSectionH lock;
    auto pool = std::make_shared<HxThreadPool>();
    pool->initThreadPool(4294967295UL, 1, 4, 1);
    auto argsMap = std::make_shared<IncrementalArgsMap>();
    std::vector<std::string> roots;
    ASSERT_TRUE(runner.prepareIncrementalRestore(&lock, pool, credentials, &environment, "dst", argsMap, roots));
    EXPECT_EQ(roots, (std::vector<std::string>{"A", "B"}));
    ASSERT_EQ(argsMap->size(), 4u);
    // The key schema comes from the source description, which this runner
    // was never given.
    for (auto& entry : *argsMap) entry.second->keySchema = {"id"};
    for (const auto& root : roots) pool->doWork(&AwsDynamoDBRestoreRunner::incrementalRestoreThread, argsMap->at(root));
    pool->waitForAllThreads(true, true, true, -1);
    for (const auto& entry : *argsMap) EXPECT_TRUE(entry.second->succeeded) << entry.first;
    AwsDynamoDBRestoreRunner::cleanupAllArgs(argsMap);
    ASSERT_EQ(order.size(), 4u);
    auto at = [&](const char* id) { return std::find(order.begin(), order.end(), std::string("P:") + id) - order.begin(); };
    EXPECT_LT(at("A"), at("C"));
    EXPECT_LT(at("A"), at("D"));
}

TEST_F(WorkersFixture, MetadataThatCannotBeReadFailsTheIncremental) {
    AwsDynamoDBRestoreRunner runner(credentials, environment);
    auto argsMap = std::make_shared<IncrementalArgsMap>();
    std::vector<std::string> roots;
    environment.putInput("metadata.json", "not json");
    EXPECT_FALSE(runner.prepareIncrementalRestore(nullptr, nullptr, credentials, &environment, "dst", argsMap, roots));
    EXPECT_NE(environment.getFailure().find("is not valid JSON"), std::string::npos);
}

} // namespace

namespace {

TEST(RestoreRunner, FullBackupWithoutSegmentCountIsRefused) {
    TeskLoggingEnvironment environment("restore", std::make_shared<MemoryLogSink>());
    environment.putDescriptionString(R"({"table":{"TableName":"t","KeySchema":[{"AttributeName":"id"}]}})");
    AwsDynamoDBRestoreRunner runner(testCredentials(), environment);
    std::list<TeskEnvironment*> none;
    EXPECT_FALSE(runner.initialize(false, "dst", &environment, none, 0, false));
    EXPECT_EQ(environment.getFailure(), "The full backup's description has no segment count");

    TeskLoggingEnvironment broken("restore", std::make_shared<MemoryLogSink>());
    broken.putDescriptionString("not json");
    AwsDynamoDBRestoreRunner other(testCredentials(), broken);
    EXPECT_FALSE(other.initialize(false, "dst", &broken, none, 0, false));
    EXPECT_EQ(broken.getFailure(), "Failed to read full backup table description");
    EXPECT_FALSE(other.initialize(false, "dst", nullptr, none, 0, false));
    EXPECT_EQ(broken.getFailure(), "A full backup is required when not using an existing table for restore destination");
    EXPECT_FALSE(other.initialize(false, "dst", nullptr, none, 0, true));
    EXPECT_EQ(broken.getFailure(), "At least one backup is required in order to restore");
}

} // namespace
