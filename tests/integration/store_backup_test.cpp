// Full backup jobs into the backup store, against the local endpoint: a job
// that completes verifies clean; a stopped job resumes to exactly the table;
// a missing table gives a failed job, never a complete one.

#include <gtest/gtest.h>

#include <map>

#include "backup/BackupJob.h"
#include "text/JsonText.h"
#include "store/BackupVerifier.h"
#include "platform/FileUtil.h"
#include "tests/support/JsonLines.h"
#include "tests/support/LocalAdmin.h"
#include "tests/support/SampleTable.h"
#include "tests/support/TempDir.h"

namespace {

// Item ids in every chunk of a job, with how often each occurs.
std::map<std::string, int> idsInJob(const BackupJobResult& result) {
    std::map<std::string, int> ids;
    for (const auto& segment : result.manifest.segments) {
        const std::string directory = result.jobDirectory + "/" + std::to_string(segment.first + 1);
        for (const auto& chunk : segment.second.chunks) {
            std::string data;
            EXPECT_TRUE(file_util::readFile(BackupStore::chunkPath(directory, chunk.number), data));
            size_t start = 0;
            for (size_t end; (end = data.find('\n', start)) != std::string::npos; start = end + 1) {
                rapidjson::Document item;
                EXPECT_TRUE(json_text::parseObject(item, data.substr(start, end - start)));
                ++ids[json_text::stringMember(item["id"], "S")];
            }
        }
    }
    return ids;
}

struct StoreBackupFixture : ::testing::Test {
    static constexpr int kItems = 2000;
    static std::string table;
    static void SetUpTestSuite() {
        if (localDynamoEndpoint().empty()) return;
        table = uniqueTableName("store");
        createSampleTable(table, kItems);
    }

    TempDir store;
    BackupJobOptions options() {
        BackupJobOptions o;
        o.storeRoot = store.path;
        o.table = table;
        o.region = "us-east-1";
        o.segments = 3;
        o.chunkSize = 256 * 1024;
        o.credentials = localCredentials();
        return o;
    }
};
std::string StoreBackupFixture::table;

// DynamoDB allows few capacity decreases a day. One refused after the scan
// leaves the backup complete, and says what is left to do.
TEST_F(StoreBackupFixture, RefusedCapacityDecreaseLeavesTheJobCompleteWithAWarning) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    TeskPrototypeEnvironment setup("setup", std::make_shared<MemoryLogSink>());
    AmazonCredentials credentials = localCredentials();
    AwsDynamoDBService service(credentials, setup);
    BackupJobOptions o = options();
    o.table = uniqueTableName("decrease");
    createSampleTable(o.table, 20);
    o.readCapacity = 50;
    ManualClock clock(systemClock().now());
    o.clock = &clock;
    ASSERT_EQ(localAdmin(service, "InjectFault",
                         R"({"Operation":"UpdateTable","TableName":")" + o.table +
                             R"(","Status":400,"Type":"LimitExceededException","Skip":1,"Count":100,)"
                             R"("Message":"Subscriber limit exceeded: Provisioned throughput decreases are limited within a given UTC day"})"),
              200);
    BackupJobResult result = runBackupJob(o);
    ASSERT_EQ(result.status, "complete") << result.error;
    EXPECT_EQ(result.manifest.totalLines(), 20u);
    EXPECT_NE(result.capacityWarning.find("read capacity of " + o.table + " [us-east-1] is still 50 and should be back to 5"),
              std::string::npos)
        << result.capacityWarning;
    EXPECT_EQ(faultsServed(service, o.table), 8); // asked again for an hour
}

TEST_F(StoreBackupFixture, CompleteJobHoldsEveryItemOnceAndVerifies) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    BackupJobResult result = runBackupJob(options());
    ASSERT_EQ(result.status, "complete") << result.error;
    EXPECT_EQ(result.jobId, 1);
    EXPECT_EQ(result.manifest.totalLines(), static_cast<uint64_t>(kItems));
    auto ids = idsInJob(result);
    EXPECT_EQ(ids.size(), static_cast<size_t>(kItems));
    for (const auto& id : ids) EXPECT_EQ(id.second, 1) << id.first;
    EXPECT_TRUE(file_util::exists(result.jobDirectory + "/description.json"));
    EXPECT_TRUE(file_util::exists(result.jobDirectory + "/backup.log"));

    BackupStore backups(store.path);
    BackupStore::Job job;
    std::string error;
    ASSERT_TRUE(backups.findJob(result.jobId, job, error));
    VerifyReport report = verifyJob(job);
    EXPECT_TRUE(report.ok()) << report.problems[0];
    EXPECT_EQ(report.lines, static_cast<uint64_t>(kItems));
    // A progress display counts every stored byte the check reads, once.
    std::atomic<uint64_t> read{0};
    EXPECT_TRUE(verifyJob(job, VerifyDepth::Integrity, &read).ok());
    EXPECT_EQ(read.load(), job.manifest.totalBytes());

    BackupJobResult again = runBackupJob(options());
    EXPECT_EQ(again.jobId, 2);
    BackupJobOptions resumeDone = options();
    resumeDone.resumeJob = 1;
    BackupJobResult refused = runBackupJob(resumeDone);
    EXPECT_TRUE(refused.status.empty());
    EXPECT_NE(refused.error.find("already complete"), std::string::npos);
}


// Throttling and server errors in the middle of a scan are retried: the job
// still holds every item exactly once.
TEST_F(StoreBackupFixture, ThrottledAndFailingScansAreRetried) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    TeskPrototypeEnvironment setup("setup", std::make_shared<MemoryLogSink>());
    AmazonCredentials credentials = localCredentials();
    AwsDynamoDBService service(credentials, setup);
    BackupJobOptions o = options();
    o.table = uniqueTableName("throttled");
    createSampleTable(o.table, 300);
    ASSERT_EQ(injectFault(service, "Scan", 400, "ProvisionedThroughputExceededException", 3, o.table), 200);
    ASSERT_EQ(injectFault(service, "Scan", 500, "InternalServerError", 2, o.table), 200);
    ASSERT_EQ(injectFault(service, "DescribeTable", 503, "ServiceUnavailable", 1, o.table), 200);
    BackupJobResult result = runBackupJob(o);
    ASSERT_EQ(result.status, "complete") << result.error;
    EXPECT_EQ(faultsServed(service, o.table), 6);
    auto ids = idsInJob(result);
    EXPECT_EQ(ids.size(), 300u);
    for (const auto& id : ids) EXPECT_EQ(id.second, 1) << id.first;
}
TEST_F(StoreBackupFixture, StoppedJobResumesToExactlyTheTable) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    std::atomic<bool> stop{true}; // every segment stops after its first page
    BackupJobOptions first = options();
    first.segments = 1;
    first.stopFlag = &stop;
    BackupJobResult stopped = runBackupJob(first);
    ASSERT_EQ(stopped.status, "stopped") << stopped.error;
    EXPECT_NE(stopped.error.find("--resume " + std::to_string(stopped.jobId)), std::string::npos);
    EXPECT_LT(stopped.manifest.totalLines(), static_cast<uint64_t>(kItems));
    EXPECT_FALSE(stopped.manifest.segments.at(0).restart.empty());

    BackupStore backups(store.path);
    BackupStore::Job job;
    std::string error;
    ASSERT_TRUE(backups.findJob(stopped.jobId, job, error));
    EXPECT_FALSE(verifyJob(job).ok());

    stop = false;
    BackupJobOptions resume = options();
    resume.resumeJob = stopped.jobId;
    resume.stopFlag = &stop;
    BackupJobResult finished = runBackupJob(resume);
    ASSERT_EQ(finished.status, "complete") << finished.error;
    auto ids = idsInJob(finished);
    EXPECT_EQ(ids.size(), static_cast<size_t>(kItems));
    for (const auto& id : ids) EXPECT_EQ(id.second, 1) << id.first;
    ASSERT_TRUE(backups.findJob(stopped.jobId, job, error));
    EXPECT_TRUE(verifyJob(job).ok());
}

TEST_F(StoreBackupFixture, MissingTableGivesAFailedJobThatSaysWhy) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    BackupJobOptions missing = options();
    missing.table = uniqueTableName("missing");
    BackupJobResult result = runBackupJob(missing);
    EXPECT_EQ(result.status, "failed");
    EXPECT_NE(result.error.find(missing.table + " [us-east-1]"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find("ResourceNotFoundException"), std::string::npos) << result.error;
    EXPECT_EQ(result.manifest.status, "failed");
    EXPECT_NE(result.manifest.failure.find("Describe failed"), std::string::npos);
}

TEST_F(StoreBackupFixture, NamesThatCouldLeaveTheStoreAreRefused) {
    BackupJobOptions escape = options();
    escape.table = "../../etc";
    BackupJobResult result = runBackupJob(escape);
    EXPECT_TRUE(result.status.empty());
    EXPECT_NE(result.error.find("table name"), std::string::npos);
}

} // namespace

namespace {

// Change lines in every chunk of an incremental job.
std::string changesInJob(const BackupJobResult& result) {
    std::string all;
    for (const auto& shard : result.manifest.shards) {
        for (const auto& chunk : shard.second.chunks) {
            std::string data;
            EXPECT_TRUE(file_util::readFile(BackupStore::chunkPath(result.jobDirectory + "/" + shard.first, chunk.number), data));
            all += data;
        }
    }
    return all;
}

struct IncrementalStoreFixture : ::testing::Test {
    TempDir store;
    BackupJobOptions options(const std::string& table) {
        BackupJobOptions o;
        o.storeRoot = store.path;
        o.table = table;
        o.region = "us-east-1";
        o.incremental = true;
        o.credentials = localCredentials();
        return o;
    }
};

TEST_F(IncrementalStoreFixture, IncrementalsChainThroughTheStore) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    TeskPrototypeEnvironment setup("setup", std::make_shared<MemoryLogSink>());
    AmazonCredentials credentials = localCredentials();
    AwsDynamoDBService service(credentials, setup);
    const std::string table = uniqueTableName("chain");
    ASSERT_TRUE(service.createTable(createTableBody(table, kOnDemandWithStream)).isSuccess());
    ASSERT_TRUE(service.batchPutItems(table, {sampleItem(1), sampleItem(2)}).isSuccess());

    BackupJobResult first = runBackupJob(options(table));
    ASSERT_EQ(first.status, "complete") << first.error;
    EXPECT_EQ(first.jobDirectory.substr(first.jobDirectory.rfind('/') + 1), "I1");
    EXPECT_EQ(first.manifest.previousJob, 0);
    EXPECT_EQ(first.manifest.totalLines(), 2u);
    EXPECT_TRUE(sameJsonLines(changesInJob(first), "UPDATE: " + sampleItem(1) + "\nUPDATE: " + sampleItem(2) + "\n"));
    EXPECT_TRUE(file_util::exists(first.jobDirectory + "/metadata.json"));

    std::map<std::string, WriteRequest> removal = {{"1", {2, R"({"id":{"S":"item-1"}})"}}};
    ASSERT_TRUE(service.batchWriteItems(table, {"id"}, removal).isSuccess());
    BackupJobResult second = runBackupJob(options(table));
    ASSERT_EQ(second.status, "complete") << second.error;
    EXPECT_EQ(second.manifest.previousJob, first.jobId);
    EXPECT_EQ(changesInJob(second), "REMOVE: {\"id\":{\"S\":\"item-1\"}}\n");

    // A stopped incremental does not become the base of the next one.
    std::atomic<bool> stop{true};
    BackupJobOptions stopping = options(table);
    stopping.stopFlag = &stop;
    BackupJobResult stopped = runBackupJob(stopping);
    EXPECT_EQ(stopped.status, "stopped");
    BackupJobResult third = runBackupJob(options(table));
    ASSERT_EQ(third.status, "complete") << third.error;
    EXPECT_EQ(third.manifest.previousJob, second.jobId);
    EXPECT_EQ(changesInJob(third), "");

    BackupStore backups(store.path);
    std::vector<std::string> problems;
    for (const auto& job : backups.listJobs(problems)) {
        VerifyReport report = verifyJob(job);
        EXPECT_EQ(report.ok(), job.manifest.status == "complete") << job.directory;
    }
}

// A chain the stream can no longer continue is never complete: the job
// keeps what it read, says what may be missing, and the next full backup
// starts a new chain.
struct ContinuityFixture : IncrementalStoreFixture {
    TeskPrototypeEnvironment setup{"setup", std::make_shared<MemoryLogSink>()};
    AmazonCredentials credentials = localCredentials();
    AwsDynamoDBService service{credentials, setup};

    std::string createStreamTable(const std::string& stem) {
        const std::string table = uniqueTableName(stem);
        EXPECT_TRUE(service.createTable(createTableBody(table, kOnDemandWithStream)).isSuccess());
        return table;
    }
    void put(const std::string& table, int from, int to) {
        std::vector<std::string> items;
        for (int i = from; i < to; ++i) items.push_back(sampleItem(i));
        for (size_t at = 0; at < items.size(); at += 25)
            ASSERT_TRUE(service.batchPutItems(table, std::vector<std::string>(items.begin() + at,
                                                                           items.begin() + std::min(items.size(), at + 25)))
                            .isSuccess());
    }
    BackupJobResult full(const std::string& table) {
        BackupJobOptions o = options(table);
        o.incremental = false;
        o.segments = 2;
        return runBackupJob(o);
    }
};

TEST_F(ContinuityFixture, ShardVanishingMidReadFailsTheJobAndKeepsWhatWasRead) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    const std::string table = createStreamTable("vanish");
    put(table, 0, 30);
    const std::string arn = service.describeTable(table).result->latestStreamArn;
    const std::string shard = service.describeStream(arn).result->shards[0].shardId;
    // A busy DynamoDB Local can take a moment to show a write's record; the
    // first page must hold all 30.
    for (int attempt = 0; attempt < 50; ++attempt) {
        auto iterator = service.getShardIterator(arn, shard, "");
        ASSERT_TRUE(iterator.isSuccess()) << iterator.errorMessage;
        auto page = service.getRecords(*iterator.result);
        ASSERT_TRUE(page.isSuccess()) << page.errorMessage;
        if (page.result->records.size() >= 30u) break;
        setup.clock().sleepMs(100);
    }
    ASSERT_EQ(vanishShard(service, table, shard, 1), 200); // gone after its first page
    // DynamoDB Local rounds a record's time down to the minute: a job that
    // began in that very second would take the records for its start and
    // stop after the first page, before the shard is found gone. The job
    // begins a whole second after them instead.
    markTime(service, table);
    BackupJobResult result = runBackupJob(options(table));
    EXPECT_EQ(result.status, "failed");
    EXPECT_NE(result.error.find("not continuous"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find(shard), std::string::npos) << result.error;
    EXPECT_NE(result.error.find(table), std::string::npos) << result.error;
    EXPECT_NE(result.error.find("new full backup"), std::string::npos) << result.error;
    EXPECT_EQ(result.manifest.totalLines(), 30u); // the first page is kept
}

TEST_F(ContinuityFixture, TrimmedResumePointFailsUntilANewFullStartsANewChain) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    const std::string table = createStreamTable("trimmed");
    put(table, 0, 20);
    ASSERT_EQ(full(table).status, "complete");
    BackupJobResult first = runBackupJob(options(table));
    ASSERT_EQ(first.status, "complete") << first.error;
    put(table, 20, 30);

    // The stream's retention passes over the recorded resume point.
    ASSERT_EQ(trimStream(service, table, 25), 200);
    for (int attempt = 0; attempt < 2; ++attempt) {
        BackupJobResult cut = runBackupJob(options(table));
        EXPECT_EQ(cut.status, "failed");
        EXPECT_NE(cut.error.find("trimmed before they were read"), std::string::npos) << cut.error;
        // The store keeps the gap in view: verify says why the job is not complete.
        BackupStore backups(store.path);
        BackupStore::Job job;
        std::string error;
        ASSERT_TRUE(backups.findJob(cut.jobId, job, error)) << error;
        VerifyReport report = verifyJob(job);
        ASSERT_FALSE(report.ok());
        EXPECT_NE(report.problems[0].find("is not continuous"), std::string::npos) << report.problems[0];
    }

    // A new full backup mends the chain: the next incremental starts from it.
    BackupJobResult mended = full(table);
    ASSERT_EQ(mended.status, "complete") << mended.error;
    put(table, 30, 35);
    BackupJobResult fresh = runBackupJob(options(table));
    ASSERT_EQ(fresh.status, "complete") << fresh.error;
    EXPECT_EQ(fresh.manifest.previousJob, 0);
    EXPECT_EQ(fresh.manifest.totalLines(), 10u); // the 5 records the trim left, and 5 new
    std::map<std::string, WriteRequest> removal = {{"3", {2, R"({"id":{"S":"item-3"}})"}}};
    ASSERT_TRUE(service.batchWriteItems(table, {"id"}, removal).isSuccess());
    BackupJobResult next = runBackupJob(options(table));
    ASSERT_EQ(next.status, "complete") << next.error;
    EXPECT_EQ(next.manifest.previousJob, fresh.jobId);
    EXPECT_EQ(changesInJob(next), "REMOVE: {\"id\":{\"S\":\"item-3\"}}\n");
}

TEST_F(ContinuityFixture, NewChainFromAFullOlderThanTheStreamsRetentionFails) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    const std::string table = createStreamTable("retention");
    put(table, 0, 5);
    ManualClock clock(systemClock().now());
    BackupJobOptions o = options(table);
    o.incremental = false;
    o.clock = &clock;
    ASSERT_EQ(runBackupJob(o).status, "complete");
    clock.set(clock.now() + 25 * 3600);
    o.incremental = true;
    BackupJobResult late = runBackupJob(o);
    EXPECT_EQ(late.status, "failed");
    EXPECT_NE(late.error.find("25 hours ago"), std::string::npos) << late.error;
}

// Writes made while a table has no stream are in no stream: a chain across
// a stream switched off and on, or begun from a full older than the stream,
// cannot hold them.
TEST_F(ContinuityFixture, WritesWithoutAStreamBreakTheChain) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    auto stream = [&](const std::string& table, bool enabled) {
        const std::string spec = enabled ? R"({"StreamEnabled":true,"StreamViewType":"NEW_IMAGE"})"
                                         : R"({"StreamEnabled":false})";
        AmazonRequest request = service.baseRequest("UpdateTable", false);
        request.body = R"({"TableName":")" + table + R"(","StreamSpecification":)" + spec + "}";
        AwsRequestService sender(service.getEnvironment());
        ASSERT_EQ(sender.executeRequest(request, 50, 60000).httpCode, 200);
    };
    const std::string table = createStreamTable("switched");
    put(table, 0, 5);
    ASSERT_EQ(full(table).status, "complete");
    ASSERT_EQ(runBackupJob(options(table)).status, "complete");
    stream(table, false);
    put(table, 5, 8); // in no stream
    stream(table, true);
    put(table, 8, 10);
    BackupJobResult switched = runBackupJob(options(table));
    EXPECT_EQ(switched.status, "failed");
    EXPECT_NE(switched.error.find("the previous incremental read stream "), std::string::npos) << switched.error;
    EXPECT_NE(switched.error.find("changes made while no stream was enabled are in no backup"), std::string::npos);
    // A new full mends it.
    ASSERT_EQ(full(table).status, "complete");
    EXPECT_EQ(runBackupJob(options(table)).status, "complete");

    // A stream enabled only after the full began: what was written in
    // between is in neither.
    const std::string late = uniqueTableName("late-stream");
    ASSERT_TRUE(service.createTable(createTableBody(late, R"("BillingMode":"PAY_PER_REQUEST")")).isSuccess());
    put(late, 0, 5);
    ManualClock clock(systemClock().now() - 5);
    BackupJobOptions o = options(late);
    o.incremental = false;
    o.clock = &clock;
    ASSERT_EQ(runBackupJob(o).status, "complete");
    put(late, 5, 8);
    stream(late, true);
    BackupJobResult chain = runBackupJob(options(late));
    EXPECT_EQ(chain.status, "failed");
    EXPECT_NE(chain.error.find("its stream was created at "), std::string::npos) << chain.error;
}

TEST_F(IncrementalStoreFixture, TableWithoutStreamFailsWithTheReason) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    const std::string table = uniqueTableName("nostream");
    createSampleTable(table, 1);
    BackupJobResult result = runBackupJob(options(table));
    EXPECT_EQ(result.status, "failed");
    EXPECT_NE(result.error.find("Stream does not exist"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find(table + " [us-east-1]"), std::string::npos);

    BackupJobOptions resume = options(table);
    resume.resumeJob = result.jobId;
    EXPECT_NE(runBackupJob(resume).error.find("incrementals are not resumed"), std::string::npos);
}

} // namespace
