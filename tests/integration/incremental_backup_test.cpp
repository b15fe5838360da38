// Incremental backups from the local endpoint's streams: every change once,
// chained runs resuming from the previous metadata, shard trees with closed
// and trimmed shards, configuration errors, and buffered mode.

#include <gtest/gtest.h>

#include "backup/AwsDynamoDBIncrementalBackupRunner.h"
#include "backup/BufferedIncrementalBackup.h"
#include "dynamodb/AwsDynamoDBService.h"
#include "text/JsonText.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "tests/support/LocalAdmin.h"
#include "tests/support/LocalDynamo.h"

namespace {

struct IncrementalFixture : ::testing::Test {
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    AmazonCredentials credentials = localCredentials();
    GlobalTableMap noGlobals;

    std::string createTable(AwsDynamoDBService& service, const std::string& stream) {
        const std::string name = uniqueTableName("incr");
        auto created = service.createTable(
            R"({"TableName":")" + name +
            R"(","AttributeDefinitions":[{"AttributeName":"id","AttributeType":"S"}],"KeySchema":[{"AttributeName":"id","KeyType":"HASH"}],)"
            R"("ProvisionedThroughput":{"ReadCapacityUnits":5,"WriteCapacityUnits":5})" +
            stream + "}");
        EXPECT_TRUE(created.isSuccess()) << created.errorMessage;
        return name;
    }

    static void put(AwsDynamoDBService& service, const std::string& table, int from, int to, const std::string& v) {
        std::vector<std::string> items;
        for (int i = from; i < to; ++i)
            items.push_back(R"({"id":{"S":"k)" + std::to_string(i) + R"("},"v":{"S":")" + v + R"("}})");
        for (size_t at = 0; at < items.size(); at += 25) {
            std::vector<std::string> batch(items.begin() + at, items.begin() + std::min(items.size(), at + 25));
            ASSERT_TRUE(service.batchPutItems(table, batch).isSuccess());
        }
    }

    // All shard lines the run wrote, in shard-list order.
    static std::string allLines(TeskPrototypeEnvironment& environment, const AwsDynamoDBIncrementalBackupRunner& runner) {
        std::string lines;
        for (const auto& args : runner.getShardArgs()) {
            auto output = environment.output(TeskPrototypeEnvironment::shardName(args->shardId, runner.getStartTime()));
            if (output) lines += output->data();
        }
        return lines;
    }

    static rapidjson::Document metadata(TeskPrototypeEnvironment& environment) {
        std::string text;
        environment.openMetadataInput()->getContents(text);
        rapidjson::Document document;
        EXPECT_TRUE(json_text::parseObject(document, text)) << text;
        return document;
    }
};

TEST_F(IncrementalFixture, ChainedRunsSaveEveryChangeOnce) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    TeskPrototypeEnvironment setup("setup", log);
    AwsDynamoDBService service(credentials, setup);
    const std::string table =
        createTable(service, R"(,"StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_AND_OLD_IMAGES"})");
    put(service, table, 0, 30, "first");
    std::map<std::string, WriteRequest> removal = {{"k0", {2, R"({"id":{"S":"k0"}})"}}};
    ASSERT_TRUE(service.batchWriteItems(table, {"id"}, removal).isSuccess());

    TeskPrototypeEnvironment first("first", log);
    AwsDynamoDBIncrementalBackupRunner runner(credentials, first);
    ASSERT_TRUE(runner.execute(table, noGlobals, nullptr, 0)) << first.getFailure();
    const std::string lines = allLines(first, runner);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 31);
    EXPECT_EQ(lines.rfind("REMOVE: {\"id\":{\"S\":\"k0\"}}\n"), lines.size() - 26);
    EXPECT_TRUE(log->contains(" is empty, will be backed up from the beginning"));
    auto firstMetadata = metadata(first);
    EXPECT_EQ(firstMetadata["time"].GetInt64(), runner.getStartTime());
    ASSERT_EQ(firstMetadata["roots"].Size(), 1u);
    const std::string shard = firstMetadata["roots"][0].GetString();
    const std::string firstState = firstMetadata["context"][shard.c_str()].GetString();
    EXPECT_EQ(firstState.size(), 21u); // a sequence number
    EXPECT_EQ(first.output("metadata.json")->data().back(), '\n');

    // The next run starts after the recorded sequence number.
    put(service, table, 100, 105, "second");
    TeskPrototypeEnvironment second("second", log);
    AwsDynamoDBIncrementalBackupRunner next(credentials, second);
    MemoryInput previousMetadata("previous", first.output("metadata.json")->data());
    ASSERT_TRUE(next.execute(table, noGlobals, &previousMetadata, 0)) << second.getFailure();
    const std::string more = allLines(second, next);
    EXPECT_EQ(std::count(more.begin(), more.end(), '\n'), 5);
    EXPECT_NE(more.find("\"k100\""), std::string::npos);
    EXPECT_TRUE(log->contains("Shard " + shard + " will be backed up starting at " + firstState));

    // Nothing new: 50 empty pages end the read and the state stays.
    TeskPrototypeEnvironment third("third", log);
    MemoryInput secondMetadata("previous", second.output("metadata.json")->data());
    AwsDynamoDBIncrementalBackupRunner idle(credentials, third);
    ASSERT_TRUE(idle.execute(table, noGlobals, &secondMetadata, 0));
    EXPECT_EQ(allLines(third, idle), "");
    EXPECT_EQ(idle.getShardStates()[shard], next.getShardStates()[shard]);
    EXPECT_TRUE(log->contains("Incremental terminates for shard " + shard + " emptyCount 50"));
}

TEST_F(IncrementalFixture, ThrottledFailingAndExpiredStreamReadsAreRetried) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    TeskPrototypeEnvironment setup("setup", log);
    AwsDynamoDBService service(credentials, setup);
    const std::string table =
        createTable(service, R"(,"StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_IMAGE"})");
    put(service, table, 0, 30, "v");
    ASSERT_EQ(injectFault(service, "GetShardIterator", 500, "InternalServerError", 1, table), 200);
    ASSERT_EQ(injectFault(service, "GetRecords", 400, "LimitExceededException", 2, table), 200);
    ASSERT_EQ(injectFault(service, "DescribeStream", 400, "ThrottlingException", 1, table), 200);
    // An expired iterator is renewed from the last record read.
    ASSERT_EQ(injectFault(service, "GetRecords", 400, "ExpiredIteratorException", 1, table), 200);
    TeskPrototypeEnvironment run("throttled", log);
    AwsDynamoDBIncrementalBackupRunner runner(credentials, run);
    ASSERT_TRUE(runner.execute(table, noGlobals, nullptr, 0)) << run.getFailure();
    EXPECT_EQ(faultsServed(service, table), 5);
    const std::string lines = allLines(run, runner);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 30);
}

// A read refused for good fails the job with the service's words.
TEST_F(IncrementalFixture, ARefusedStreamReadSaysWhy) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    TeskPrototypeEnvironment setup("setup", log);
    AwsDynamoDBService service(credentials, setup);
    const std::string table =
        createTable(service, R"(,"StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_IMAGE"})");
    put(service, table, 0, 3, "v");
    ASSERT_EQ(injectFault(service, "GetRecords", 400, "AccessDeniedException", 1, table), 200);
    TeskPrototypeEnvironment run("denied", log);
    AwsDynamoDBIncrementalBackupRunner runner(credentials, run);
    EXPECT_FALSE(runner.execute(table, noGlobals, nullptr, 0));
    EXPECT_EQ(run.getFailure().rfind("getRecordsToStream failed for '", 0), 0u) << run.getFailure();
    EXPECT_NE(run.getFailure().find("#AccessDeniedException"), std::string::npos) << run.getFailure();
}

TEST_F(IncrementalFixture, ClosedFinishedAndTrimmedShards) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    TeskPrototypeEnvironment setup("setup", log);
    AwsDynamoDBService service(credentials, setup);
    const std::string table =
        createTable(service, R"(,"StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_IMAGE"})");
    put(service, table, 0, 3, "parent");
    ASSERT_EQ(rollShard(service, table, 2), 200);
    put(service, table, 3, 6, "child");
    const std::string arn = service.describeTable(table).result->latestStreamArn;
    auto stream = service.describeStream(arn).result;
    ASSERT_EQ(stream->shards.size(), 3u);
    const std::string parent = stream->shards[0].shardId;

    TeskPrototypeEnvironment run("tree", log);
    AwsDynamoDBIncrementalBackupRunner runner(credentials, run);
    ASSERT_TRUE(runner.execute(table, noGlobals, nullptr, 2)) << run.getFailure();
    auto tree = metadata(run);
    ASSERT_EQ(tree["roots"].Size(), 1u);
    EXPECT_EQ(std::string(tree["roots"][0].GetString()), parent);
    EXPECT_EQ(tree["children"][parent.c_str()].Size(), 2u);
    const std::string lines = allLines(run, runner);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 6) << lines;
    EXPECT_TRUE(log->contains("Incremental terminates for shard " + parent + " emptyCount 0 shardIter ''"));

    // A closed shard read to its end is finished for good.
    EXPECT_EQ(runner.getShardStates()[parent], "finished");

    // Previous context: the parent finished, one child trimmed away since
    // while the last run was still reading it. Its unread records are lost,
    // so the run must not count as complete; the other child is still read.
    const std::string trimmed = stream->shards[1].shardId;
    ASSERT_EQ(vanishShard(service, table, trimmed), 200);
    MemoryInput previous("previous", R"({"context":{")" + parent + R"(":"finished",")" + trimmed +
                                         R"(":"000000000000000000001"}})");
    TeskPrototypeEnvironment later("later", log);
    AwsDynamoDBIncrementalBackupRunner again(credentials, later);
    EXPECT_FALSE(again.execute(table, noGlobals, &previous, 0));
    EXPECT_NE(later.getFailure().find("records of shard " + trimmed + " after sequence number 000000000000000000001 "
                                      "are no longer in the stream"),
              std::string::npos)
        << later.getFailure();
    auto states = again.getShardStates();
    EXPECT_EQ(states[parent], "finished");
    EXPECT_TRUE(log->contains("Shard " + parent + " is finished, will be skipped"));
    EXPECT_EQ(states.count(trimmed), 0u);
    EXPECT_EQ(states.count(stream->shards[2].shardId), 1u);
}

TEST_F(IncrementalFixture, NonexistentShardIsAGapNotABackedUpShard) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    TeskPrototypeEnvironment setup("setup", log);
    AwsDynamoDBService service(credentials, setup);
    const std::string table =
        createTable(service, R"(,"StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_IMAGE"})");
    const std::string arn = service.describeTable(table).result->latestStreamArn;
    Shard gone;
    gone.shardId = "shardId-never-there";
    std::map<std::string, std::string> states;
    std::unique_ptr<HxCriticalSectionH> lock = std::make_unique<HxCriticalSectionH>();
    TeskPrototypeEnvironment run("gone", log);
    ProcessShardArgs args;
    args.credentials = &credentials;
    args.streamArn = arn;
    args.tableName = table;
    args.shardId = gone.shardId;
    args.startTime = run.clock().now();
    args.lock = &lock;
    args.shardStates = &states;
    args.environment = &run;
    // Its records cannot be read, so nothing may claim they were backed up.
    EXPECT_FALSE(AwsDynamoDBIncrementalBackupRunner::executeLowLevel(&args));
    EXPECT_EQ(states.count(gone.shardId), 0u);
    EXPECT_NE(run.getFailure().find("not continuous: records of shard shardId-never-there from its oldest record are gone"),
              std::string::npos)
        << run.getFailure();
}

class FailingInput : public TeskInput {
public:
    bool error() override { return true; }
    bool getLine(std::string&) override { return false; }
    bool getContents(std::string&) override { return false; }
};

TEST_F(IncrementalFixture, TablesThatCannotBeBackedUpIncrementallySayWhy) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    TeskPrototypeEnvironment setup("setup", log);
    AwsDynamoDBService service(credentials, setup);
    struct Case {
        std::string stream;
        std::string failure;
    };
    for (const Case& c : {Case{"", "Error: Stream does not exist for table"},
                          Case{R"(,"StreamSpecification":{"StreamEnabled":true,"StreamViewType":"KEYS_ONLY"})",
                               "Error: this stream does not have new images. Modifications cannot be saved."}}) {
        const std::string table = createTable(service, c.stream);
        TeskPrototypeEnvironment run("bad", log);
        AwsDynamoDBIncrementalBackupRunner runner(credentials, run);
        std::shared_ptr<TableDescription> description;
        AwsDynamoDBIncrementalBackupRunner::FailureCause cause;
        EXPECT_FALSE(runner.initialize(table, noGlobals, nullptr, description, cause, false, 1));
        EXPECT_EQ(cause, AwsDynamoDBIncrementalBackupRunner::kStream);
        EXPECT_EQ(run.getFailure(), c.failure);
        EXPECT_FALSE(run.output("metadata.json"));
    }
    TeskPrototypeEnvironment run("missing", log);
    AwsDynamoDBIncrementalBackupRunner runner(credentials, run);
    EXPECT_FALSE(runner.execute(uniqueTableName("missing"), noGlobals, nullptr, 1));
    EXPECT_EQ(run.getFailure(), "Error: Table description failed. The table may not exist.");

    FailingInput unreadable;
    TeskPrototypeEnvironment broken("broken", log);
    AwsDynamoDBIncrementalBackupRunner reader(credentials, broken);
    EXPECT_FALSE(reader.execute(uniqueTableName("any"), noGlobals, &unreadable, 1));
    EXPECT_EQ(broken.getFailure(), "Failed to read ref time information from the last incremental");
}

TEST_F(IncrementalFixture, BufferedShardDeliversItsLines) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    TeskPrototypeEnvironment setup("setup", log);
    AwsDynamoDBService service(credentials, setup);
    const std::string table =
        createTable(service, R"(,"StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_IMAGE"})");
    put(service, table, 0, 40, "buffered");
    const std::string arn = service.describeTable(table).result->latestStreamArn;
    Shard shard = service.describeStream(arn).result->shards[0];
    TeskPrototypeEnvironment run("buffered", log);
    BufferedIncrementalBackup buffered;
    ASSERT_TRUE(buffered.initialize(credentials, &run, arn, table, shard, run.clock().now() + 3600, "empty"));
    std::string received;
    char buffer[41];
    unsigned long filled = 0;
    bool finished = false;
    while (!finished) {
        ASSERT_TRUE(buffered.fillBuffer(buffer, sizeof buffer, filled, finished));
        received.append(buffer, filled);
    }
    EXPECT_EQ(std::count(received.begin(), received.end(), '\n'), 40);
    EXPECT_EQ(received.rfind("UPDATE: ", 0), 0u);
    EXPECT_EQ(buffered.getShardStates()[shard.shardId].size(), 21u);
    EXPECT_EQ(buffered.getSafeRestartString(), buffered.getShardStates()[shard.shardId]);
}

} // namespace
