// Restores from the backup store into the local endpoint: a full backup and
// incrementals give back exactly the source table; the destination is
// created, refused, re-created or reused as asked; capacities come back.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <numeric>
#include <regex>
#include <thread>

#include "backup/BackupJob.h"
#include "dynamodb/AwsDynamoDBService.h"
#include "text/JsonText.h"
#include "platform/FileUtil.h"
#include "framework/KeyString.h"
#include "store/BackupVerifier.h"
#include "store/MemoryStoreBackend.h"
#include "store/StoreEnvironment.h"
#include "store/StoreReadEnvironment.h"
#include "text/UtcTime.h"
#include "restore/AwsDynamoDBRestoreRunner.h"
#include "restore/RestorePlan.h"
#include "tests/support/LocalAdmin.h"
#include "tests/support/SampleTable.h"
#include "tests/support/TableContents.h"
#include "tests/support/TempDir.h"

namespace {

struct RestoreFixture : ::testing::Test {
    TempDir store;
    // Where the store is kept: the directory above unless a test sets it.
    std::shared_ptr<StoreBackend> backend;
    BackupStore backups() const { return backend ? BackupStore(backend) : BackupStore(store.path); }
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    TeskPrototypeEnvironment setup{"setup", log};
    AmazonCredentials credentials = localCredentials();

    BackupJobResult backup(const std::string& table, bool incremental) {
        BackupJobOptions options;
        options.storeRoot = store.path;
        options.backend = backend;
        options.table = table;
        options.region = "us-east-1";
        options.incremental = incremental;
        options.segments = 3;
        options.credentials = localCredentials();
        BackupJobResult result = runBackupJob(options);
        EXPECT_EQ(result.status, "complete") << result.error;
        return result;
    }

    // Replays `plan` into `destination`, each incremental cut at the plan's second.
    bool replay(const RestorePlan& plan, const std::string& destination, bool overwrite, bool useExisting,
                int64_t writeCapacity, TeskEnvironment& environment) {
        StoreReadEnvironment full(plan.full, log);
        std::list<std::unique_ptr<StoreReadEnvironment>> held;
        std::list<TeskEnvironment*> incrementals;
        for (const auto& job : plan.incrementals) {
            held.push_back(std::make_unique<StoreReadEnvironment>(job, log));
            held.back()->replayChangesUntil(plan.until);
            incrementals.push_back(held.back().get());
        }
        AwsDynamoDBRestoreRunner runner(localCredentials(), environment);
        return runner.execute(overwrite, destination, &full, incrementals, writeCapacity, 4, useExisting);
    }

    // Restores `table` as of its newest job into `destination`.
    bool restore(const std::string& table, const std::string& destination, bool overwrite, bool useExisting,
                 int64_t writeCapacity, TeskEnvironment& environment) {
        RestorePlan plan;
        std::string error;
        EXPECT_TRUE(planRestore(backups(), "us-east-1", table, 0, plan, error)) << error;
        return replay(plan, destination, overwrite, useExisting, writeCapacity, environment);
    }

    // Restores `table` as it was at second `at` into a new `destination`;
    // the jobs replayed, or the refusal.
    std::string restoreAt(const std::string& table, int64_t at, const std::string& destination) {
        RestorePlan plan;
        std::string error;
        if (!planRestoreAt(backups(), "us-east-1", table, at, plan, error)) return "refused: " + error;
        EXPECT_EQ(plan.until, at);
        std::string jobs = plan.full.manifest.directoryName();
        for (const auto& job : plan.incrementals) jobs += "," + job.manifest.directoryName();
        TeskPrototypeEnvironment run("restore", log);
        if (!replay(plan, destination, false, false, 0, run)) return "failed: " + run.getFailure();
        return jobs;
    }
};

TEST_F(RestoreFixture, FullAndIncrementalsGiveBackTheSourceTable) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, setup);
    const std::string table = uniqueTableName("source");
    ASSERT_TRUE(service.createTable(createTableBody(
        table, R"("ProvisionedThroughput":{"ReadCapacityUnits":5,"WriteCapacityUnits":5},)"
               R"("StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_AND_OLD_IMAGES"})")).isSuccess());
    std::vector<std::string> items;
    for (int i = 0; i < 120; ++i) items.push_back(sampleItem(i));
    for (size_t at = 0; at < items.size(); at += 25)
        ASSERT_TRUE(service.batchPutItems(table, std::vector<std::string>(items.begin() + at, items.begin() + std::min(items.size(), at + 25))).isSuccess());
    backup(table, false);

    // Changes after the full backup: updates, deletes, inserts, over two incrementals.
    std::map<std::string, WriteRequest> first = {{"a", {1, R"({"id":{"S":"item-1"},"changed":{"BOOL":true}})"}},
                                                 {"b", {2, R"({"id":{"S":"item-2"}})"}},
                                                 {"c", {1, R"({"id":{"S":"new-1"}})"}}};
    ASSERT_TRUE(service.batchWriteItems(table, {"id"}, first).isSuccess());
    backup(table, true);
    std::map<std::string, WriteRequest> second = {{"a", {2, R"({"id":{"S":"new-1"}})"}},
                                                  {"b", {1, R"({"id":{"S":"item-2"},"back":{"N":"1"}})"}},
                                                  {"c", {1, R"({"id":{"S":"item-1"},"changed":{"BOOL":false}})"}}};
    ASSERT_TRUE(service.batchWriteItems(table, {"id"}, second).isSuccess());
    backup(table, true);

    const std::string destination = uniqueTableName("restored");
    TeskPrototypeEnvironment run("restore", log);
    ASSERT_TRUE(restore(table, destination, false, false, 50, run)) << run.getFailure();
    EXPECT_TRUE(log->contains("Restore complete"));
    EXPECT_TRUE(sameItems(tableContents(service, destination), tableContents(service, table)));

    auto restored = service.describeTable(destination);
    ASSERT_TRUE(restored.isSuccess());
    EXPECT_EQ(restored.result->provisionedThroughput.writeCapacityUnits, 5); // put back after the restore
    EXPECT_TRUE(log->contains("Restoring write throughput for " + destination + "[us-east-1] from 50 to 5"));
}

// The store's logic runs unchanged on another backend: a full backup and an
// incremental into a store held in memory verify clean and restore to the
// source table, and nothing of them reaches the disk.
TEST_F(RestoreFixture, AStoreHeldInMemoryTakesTheSameRoundTrip) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    auto memory = std::make_shared<MemoryStoreBackend>();
    backend = memory;
    AwsDynamoDBService service(credentials, setup);
    const std::string table = uniqueTableName("memory");
    ASSERT_TRUE(service.createTable(createTableBody(table, kOnDemandWithStream)).isSuccess());
    std::vector<std::string> items;
    for (int i = 0; i < 60; ++i) items.push_back(sampleItem(i));
    for (size_t at = 0; at < items.size(); at += 25)
        ASSERT_TRUE(service.batchPutItems(table, std::vector<std::string>(items.begin() + at, items.begin() + std::min(items.size(), at + 25))).isSuccess());
    const BackupJobResult full = backup(table, false);
    std::map<std::string, WriteRequest> changes = {{"a", {1, R"({"id":{"S":"item-1"},"changed":{"BOOL":true}})"}},
                                                   {"b", {2, R"({"id":{"S":"item-2"}})"}}};
    ASSERT_TRUE(service.batchWriteItems(table, {"id"}, changes).isSuccess());
    const BackupJobResult incremental = backup(table, true);

    EXPECT_TRUE(TempDir::isEmpty(store.path));
    std::vector<std::string> problems;
    const auto jobs = backups().listJobs(problems);
    EXPECT_TRUE(problems.empty());
    ASSERT_EQ(jobs.size(), 2u);
    for (const auto& job : jobs) {
        const VerifyReport report = verifyJob(job);
        EXPECT_TRUE(report.ok()) << job.directory << ": " << (report.problems.empty() ? "" : report.problems[0]);
        EXPECT_GT(report.chunks, 0u) << job.directory;
    }
    EXPECT_TRUE(memory->exists(BackupStore::jobKey(full.manifest) + "/backup.log"));
    EXPECT_TRUE(memory->exists(BackupStore::jobKey(incremental.manifest) + "/metadata.json"));

    const std::string destination = uniqueTableName("from-memory");
    TeskPrototypeEnvironment run("restore", log);
    ASSERT_TRUE(restore(table, destination, false, false, 0, run)) << run.getFailure();
    EXPECT_TRUE(sameItems(tableContents(service, destination), tableContents(service, table)));
}

// DynamoDB refuses a batch with two requests for one key, more than 25
// requests, or none; and leaves entries unprocessed when busy. A replay that
// changes one key again and again must still end with the source's items.
TEST_F(RestoreFixture, ReplayOfManyChangesToOneKeyKeepsTheirOrder) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, setup);
    const std::string table = uniqueTableName("hotkey");
    ASSERT_TRUE(service.createTable(createTableBody(table, kOnDemandWithStream)).isSuccess());
    ASSERT_TRUE(service.batchPutItems(table, {R"({"id":{"S":"hot"},"v":{"N":"0"}})", R"({"id":{"S":"cold"}})"}).isSuccess());
    backup(table, false);

    auto put = [&](const std::string& id, int v) {
        ASSERT_TRUE(service.batchPutItems(table, {R"({"id":{"S":")" + id + R"("},"v":{"N":")" + std::to_string(v) + R"("}})"})
                        .isSuccess());
    };
    auto remove = [&](const std::string& id) {
        std::map<std::string, WriteRequest> removal = {{id, {2, R"({"id":{"S":")" + id + R"("}})"}}};
        ASSERT_TRUE(service.batchWriteItems(table, {"id"}, removal).isSuccess());
    };
    // 38 changes of "hot" ending in a delete and a put, interleaved with 36
    // other keys so that its changes span several batches; "warm" ends
    // deleted, "cold" is deleted and put back.
    for (int v = 1; v <= 36; ++v) {
        put("hot", v);
        put("key-" + std::to_string(v), v);
    }
    put("warm", 1);
    remove("hot");
    remove("cold");
    put("hot", 99);
    put("cold", 7);
    remove("warm");
    put("warm", 2);
    remove("warm");
    backup(table, true);

    // The destination is busy: three batches come back partly unprocessed.
    const std::string destination = uniqueTableName("hotkey-restored");
    ASSERT_EQ(localAdmin(service, "InjectFault", R"({"Operation":"BatchWriteItem","TableName":")" + destination +
                                                     R"(","Unprocessed":2,"Count":3})"),
              200);
    TeskPrototypeEnvironment run("restore", log);
    ASSERT_TRUE(restore(table, destination, false, false, 0, run)) << run.getFailure();
    EXPECT_EQ(faultsServed(service, destination), 3);
    const auto restored = tableContents(service, destination);
    EXPECT_TRUE(sameItems(restored, tableContents(service, table)));
    EXPECT_EQ(restored.size(), 38u); // hot, cold and 36 key-N
    EXPECT_EQ(restored.count(keyString(R"({"id":{"S":"warm"}})", {"id"})), 0u);
}

// An incremental taken while a full backup was still scanning holds changes
// older than what the scan later read; replayed on that full, it would give
// a table that never existed.
TEST_F(RestoreFixture, IncrementalTakenDuringAFullIsNotReplayedOnIt) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, setup);
    const std::string table = uniqueTableName("overlap");
    ASSERT_TRUE(service.createTable(createTableBody(table, kOnDemandWithStream)).isSuccess());
    auto put = [&](const std::string& v) {
        ASSERT_TRUE(service.batchPutItems(table, {R"({"id":{"S":"x"},"v":{"S":")" + v + R"("}})"}).isSuccess());
    };
    put("v0");
    BackupJobOptions options;
    options.storeRoot = store.path;
    options.table = table;
    options.region = "us-east-1";
    options.segments = 1;
    options.credentials = localCredentials();
    // Between the full's start and its scan: x becomes v1, an incremental
    // saves that, then x becomes v2, which the scan reads.
    options.onStart = [&](StoreEnvironment&) {
        put("v1");
        backup(table, true);
        put("v2");
    };
    BackupJobResult full = runBackupJob(options);
    ASSERT_EQ(full.status, "complete") << full.error;

    const std::string destination = uniqueTableName("overlap-restored");
    TeskPrototypeEnvironment run("restore", log);
    ASSERT_TRUE(restore(table, destination, false, false, 0, run)) << run.getFailure();
    EXPECT_TRUE(sameItems(tableContents(service, destination), tableContents(service, table)));

    // Once an incremental follows the full, the chain goes on from it.
    put("v3");
    backup(table, true);
    const std::string later = uniqueTableName("overlap-later");
    ASSERT_TRUE(restore(table, later, false, false, 0, run)) << run.getFailure();
    EXPECT_TRUE(sameItems(tableContents(service, later), tableContents(service, table)));
}

// A restore to a second gives the table as it was then: the newest full
// that had finished, and every change of its chain up to that second, cut
// inside an incremental where the second falls. Snapshots taken at marked
// seconds are the truth; one incremental ran while the full was scanning.
TEST_F(RestoreFixture, RestoreToAnySecondTheChainCovers) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, setup);
    const std::string table = uniqueTableName("attime");
    ASSERT_TRUE(service.createTable(createTableBody(table, kOnDemandWithStream)).isSuccess());
    auto put = [&](const std::string& id, const std::string& v) {
        ASSERT_TRUE(service.batchPutItems(table, {R"({"id":{"S":")" + id + R"("},"v":{"S":")" + v + R"("}})"}).isSuccess());
    };
    auto remove = [&](const std::string& id) {
        std::map<std::string, WriteRequest> removal = {{id, {2, R"({"id":{"S":")" + id + R"("}})"}}};
        ASSERT_TRUE(service.batchWriteItems(table, {"id"}, removal).isSuccess());
    };
    put("x", "0");
    put("y", "0");
    BackupJobOptions options;
    options.storeRoot = store.path;
    options.table = table;
    options.region = "us-east-1";
    options.segments = 1;
    options.credentials = localCredentials();
    options.onStart = [&](StoreEnvironment&) {
        put("x", "during-full");
        backup(table, true); // overlaps the full
    };
    BackupJobResult full = runBackupJob(options);
    ASSERT_EQ(full.status, "complete") << full.error;

    put("x", "1");
    const int64_t first = markTime(service, table);
    const auto atFirst = tableContents(service, table);
    put("x", "2");
    remove("y");
    put("z", "2");
    const int64_t second = markTime(service, table);
    const auto atSecond = tableContents(service, table);
    backup(table, true);
    put("x", "3");
    const int64_t third = markTime(service, table);
    const auto atThird = tableContents(service, table);
    put("x", "4");
    put("w", "4");
    backup(table, true);
    ASSERT_GT(first, 0);

    // I2 is replayed only if it may hold a change made after F1 began.
    const std::string during = "(F1,I2|F1)";
    EXPECT_TRUE(std::regex_match(restoreAt(table, first - 1, table + "-at1"), std::regex(during + ",I3")));
    EXPECT_TRUE(sameItems(tableContents(service, table + "-at1"), atFirst));
    EXPECT_TRUE(std::regex_match(restoreAt(table, second - 1, table + "-at2"), std::regex(during + ",I3")));
    EXPECT_TRUE(sameItems(tableContents(service, table + "-at2"), atSecond));
    // The second falls inside the last incremental: it is cut there.
    EXPECT_TRUE(std::regex_match(restoreAt(table, third - 1, table + "-at3"), std::regex(during + ",I3,I4")));
    EXPECT_TRUE(sameItems(tableContents(service, table + "-at3"), atThird));
    EXPECT_EQ(atThird.size(), 2u);

    // Before the full had finished, or after the last incremental began,
    // nothing can show the table; the refusal says what can.
    const std::string before = restoreAt(table, full.manifest.endTime - 1, table + "-early");
    EXPECT_NE(before.find("refused: cannot restore " + table + " [us-east-1] as of " +
                          utcText(full.manifest.endTime - 1) + ": no complete full backup of it had finished by then"),
              std::string::npos)
        << before;
    BackupStore backups(store.path);
    std::vector<std::string> problems;
    const auto jobs = backups.listJobs(problems);
    const int64_t reach = jobs.back().manifest.startTime - 1;
    EXPECT_NE(before.find("Times that can be restored: " + utcText(full.manifest.endTime) + " to " + utcText(reach) +
                          " (from F1)"),
              std::string::npos)
        << before;
    const std::string after = restoreAt(table, reach + 1, table + "-late");
    EXPECT_NE(after.find("no complete incremental chain reaches that second"), std::string::npos) << after;

    // Each incremental covers from where the one before it began.
    for (size_t i = 2; i < jobs.size(); ++i) {
        const CoveredSpan span = coveredSpan(jobs, jobs[i]);
        EXPECT_TRUE(span.known);
        EXPECT_EQ(span.from, jobs[i - 1].manifest.startTime);
        EXPECT_EQ(span.until, jobs[i].manifest.startTime);
    }
}

// A restored table is the source table, not only its items: its class, key,
// protection, stream, Time to Live and tags come back too.
TEST_F(RestoreFixture, TableSettingsComeBackWithTheItems) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, setup);
    const std::string table = uniqueTableName("settings");
    const std::string key = "arn:aws:kms:us-east-1:000000000000:key/customer-1";
    auto created = service.createTable(createTableBody(
        table, R"("BillingMode":"PAY_PER_REQUEST","TableClass":"STANDARD_INFREQUENT_ACCESS","DeletionProtectionEnabled":true,)"
               R"("SSESpecification":{"Enabled":true,"SSEType":"KMS","KMSMasterKeyId":")" + key + R"("},)"
               R"("StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_IMAGE"})"));
    ASSERT_TRUE(created.isSuccess()) << created.errorMessage;
    std::string problem;
    ASSERT_TRUE(service.updateTimeToLive(table, {"expires", true}, problem)) << problem;
    ASSERT_TRUE(service.tagResource(created.result->tableArn, {{"team", "storage"}, {"tier", "gold"}}, problem))
        << problem;
    ASSERT_TRUE(service.batchPutItems(table, {sampleItem(1)}).isSuccess());
    backup(table, false);

    const std::string destination = uniqueTableName("settings-restored");
    TeskPrototypeEnvironment run("restore", log);
    ASSERT_TRUE(restore(table, destination, false, false, 0, run)) << run.getFailure();
    auto restored = service.describeTable(destination);
    ASSERT_TRUE(restored.isSuccess());
    const rapidjson::Value& json = restored.result->json;
    EXPECT_EQ(json_text::stringMember(json["TableClassSummary"], "TableClass"), "STANDARD_INFREQUENT_ACCESS");
    EXPECT_TRUE(json["DeletionProtectionEnabled"].GetBool());
    EXPECT_EQ(json_text::stringMember(json["SSEDescription"], "KMSMasterKeyArn"), key);
    EXPECT_EQ(json_text::stringMember(json["StreamSpecification"], "StreamViewType"), "NEW_IMAGE");
    EXPECT_EQ(restored.result->billingMode, "PAY_PER_REQUEST");
    AwsDynamoDBService::TimeToLive ttl;
    ASSERT_TRUE(service.describeTimeToLive(destination, ttl, problem)) << problem;
    EXPECT_TRUE(ttl.enabled);
    EXPECT_EQ(ttl.attribute, "expires");
    std::map<std::string, std::string> tags;
    ASSERT_TRUE(service.readTags(restored.result->tableArn, tags, problem)) << problem;
    EXPECT_EQ(tags, (std::map<std::string, std::string>{{"team", "storage"}, {"tier", "gold"}}));
    EXPECT_TRUE(sameItems(tableContents(service, destination), tableContents(service, table)));
}

TEST_F(RestoreFixture, DestinationIsRefusedRecreatedOrReusedAsAsked) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, setup);
    const std::string table = uniqueTableName("decide");
    createSampleTable(table, 30);
    backup(table, false);

    // The source itself as destination: it exists.
    TeskPrototypeEnvironment refused("refused", log);
    EXPECT_FALSE(restore(table, table, false, false, 0, refused));
    EXPECT_EQ(refused.getFailure(), "Table " + table + "[us-east-1] already exists and will not be overwritten");

    // Reuse, switched on through the registry.
    TempDir registry;
    const std::string registryFile = registry.path + "/registry";
    std::ofstream(registryFile) << "DynamoDB/sUSE_EXISTING_TABLE=Yes\n";
    {
        ScopedEnv useRegistry("DDB_REGISTRY", registryFile);
        TeskPrototypeEnvironment reused("reused", log);
        EXPECT_TRUE(restore(table, table, false, false, 0, reused)) << reused.getFailure();
        EXPECT_TRUE(log->contains("sUSE_EXISTING_TABLE registry has value 'Yes'"));
        EXPECT_TRUE(log->contains("Skipping creation of existing destination table: " + table + "[us-east-1]"));
    }

    // Reuse of a table with another key is refused before anything is written.
    const std::string otherKey = uniqueTableName("decide-pk");
    ASSERT_TRUE(service.createTable(R"({"TableName":")" + otherKey +
                                    R"(","KeySchema":[{"AttributeName":"pk","KeyType":"HASH"}],)"
                                    R"("AttributeDefinitions":[{"AttributeName":"pk","AttributeType":"S"}],)"
                                    R"("BillingMode":"PAY_PER_REQUEST"})")
                    .isSuccess());
    TeskPrototypeEnvironment mismatched("mismatched", log);
    EXPECT_FALSE(restore(table, otherKey, false, true, 0, mismatched));
    EXPECT_EQ(mismatched.getFailure(), "Table " + otherKey +
                                           "[us-east-1] has the key pk (hash, S), the backed-up table id (hash, S): "
                                           "its items cannot be written there; restore into a new table (--to) or "
                                           "re-create this one (--overwrite)");
    EXPECT_TRUE(tableContents(service, otherKey).empty());

    // Overwrite: deleted and re-created, and holding the backup's items.
    std::map<std::string, WriteRequest> extra = {{"x", {1, R"({"id":{"S":"only-in-destination"}})"}}};
    ASSERT_TRUE(service.batchWriteItems(table, {"id"}, extra).isSuccess());
    TeskPrototypeEnvironment recreated("recreated", log);
    EXPECT_TRUE(restore(table, table, true, false, 0, recreated)) << recreated.getFailure();
    EXPECT_TRUE(log->contains("Deleting table " + table));
    auto items = tableContents(service, table);
    EXPECT_EQ(items.size(), 30u);
    EXPECT_EQ(items.count(keyString(R"({"id":{"S":"only-in-destination"}})", {"id"})), 0u);

    // A delete the service refuses (deletion protection, a missing
    // permission) ends the restore at once with the service's reason, not
    // after five minutes of waiting for a table that is not going away.
    ASSERT_EQ(localAdmin(service, "InjectFault",
                         R"({"Operation":"DeleteTable","TableName":")" + table +
                             R"(","Status":400,"Type":"ValidationException","Count":1,)"
                             R"("Message":"Resource cannot be deleted as it is currently protected against deletion"})"),
              200);
    ManualClock clock(systemClock().now());
    TeskPrototypeEnvironment kept("kept", log, &clock);
    EXPECT_FALSE(restore(table, table, true, false, 0, kept));
    EXPECT_EQ(kept.getFailure().rfind("Cannot delete " + table + "[us-east-1] to re-create it: ", 0), 0u)
        << kept.getFailure();
    EXPECT_NE(kept.getFailure().find("protected against deletion"), std::string::npos) << kept.getFailure();
    const auto sleeps = clock.sleeps();
    EXPECT_LT(std::accumulate(sleeps.begin(), sleeps.end(), uint64_t{0}), 60000u) << "waited for the table to go";
    EXPECT_EQ(tableContents(service, table).size(), 30u);
}

TEST_F(RestoreFixture, CapacityIsLeftAloneOnDemandAndARefusedDecreaseIsOnlyAWarning) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, setup);
    const std::string table = uniqueTableName("capacity");
    createSampleTable(table, 10);
    backup(table, false);

    // An existing on-demand destination has no capacity to raise.
    const std::string onDemand = uniqueTableName("capacity-ondemand");
    ASSERT_TRUE(service.createTable(createTableBody(onDemand, R"("BillingMode":"PAY_PER_REQUEST")")).isSuccess());
    ManualClock clock(systemClock().now());
    TeskPrototypeEnvironment reuse("reuse", log, &clock);
    ASSERT_TRUE(restore(table, onDemand, false, true, 100, reuse)) << reuse.getFailure();
    EXPECT_EQ(tableContents(service, onDemand).size(), 10u);

    // A new provisioned destination whose decrease back to 5 is refused.
    const std::string provisioned = uniqueTableName("capacity-refused");
    ASSERT_EQ(localAdmin(service, "InjectFault",
                         R"({"Operation":"UpdateTable","TableName":")" + provisioned +
                             R"(","Status":400,"Type":"LimitExceededException","Count":100,)"
                             R"("Message":"Subscriber limit exceeded: Provisioned throughput decreases are limited within a given UTC day"})"),
              200);
    TeskPrototypeEnvironment run("refused", log, &clock);
    BackupStore backups(store.path);
    RestorePlan plan;
    std::string error;
    ASSERT_TRUE(planRestore(backups, "us-east-1", table, 0, plan, error)) << error;
    StoreReadEnvironment full(plan.full, log);
    AwsDynamoDBRestoreRunner runner(localCredentials(), run);
    ASSERT_TRUE(runner.execute(false, provisioned, &full, {}, 50, 2, false)) << run.getFailure();
    EXPECT_NE(runner.getCapacityWarning().find("write capacity of " + provisioned + "[us-east-1] is still 50 and should be back to 5"),
              std::string::npos)
        << runner.getCapacityWarning();
    EXPECT_EQ(tableContents(service, provisioned).size(), 10u);
}

// Asked to stop (Ctrl-C), a restore ends after the lines its workers hold:
// it fails rather than reporting a table it did not finish, every item that
// reached the table is whole, and the raised write capacity is put back.
TEST_F(RestoreFixture, AStoppedRestoreFailsWithItsCapacityBack) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, setup);
    const std::string table = uniqueTableName("stopped");
    createSampleTable(table, 400);
    backup(table, false);
    RestorePlan plan;
    std::string error;
    ASSERT_TRUE(planRestore(backups(), "us-east-1", table, 0, plan, error)) << error;

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> handedOut{0};
    StoreReadEnvironment full(plan.full, log);
    full.countLinesInto(&handedOut);
    full.stopWhen(&stop);
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done && handedOut < 50) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stop = true;
    });
    const std::string destination = uniqueTableName("stopped-to");
    TeskPrototypeEnvironment run("stopped", log);
    AwsDynamoDBRestoreRunner runner(localCredentials(), run);
    const bool ok = runner.execute(false, destination, &full, {}, 50, 4, false);
    done = true;
    watcher.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(full.getFailure().rfind(StoreReadEnvironment::kStoppedText, 0), 0u) << full.getFailure();

    const auto restored = tableContents(service, destination);
    EXPECT_LT(restored.size(), 400u);
    const auto source = tableContents(service, table);
    for (const auto& item : restored) {
        auto found = source.find(item.first);
        ASSERT_NE(found, source.end()) << item.first;
        EXPECT_EQ(item.second, found->second);
    }
    auto described = service.describeTable(destination);
    ASSERT_TRUE(described.isSuccess());
    EXPECT_EQ(described.result->provisionedThroughput.writeCapacityUnits, 5);
}

TEST_F(RestoreFixture, DamagedChunkFailsTheRestore) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    const std::string table = uniqueTableName("damaged");
    createSampleTable(table, 40);
    BackupJobResult job = backup(table, false);
    std::string chunk;
    for (const auto& segment : job.manifest.segments)
        if (!segment.second.chunks.empty())
            chunk = job.jobDirectory + "/" + std::to_string(segment.first + 1) + "/1";
    ASSERT_FALSE(chunk.empty());
    std::string data;
    ASSERT_TRUE(file_util::readFile(chunk, data));
    std::fstream file(chunk, std::ios::in | std::ios::out | std::ios::binary);
    // Still valid JSON: only the checksum can tell.
    file.seekp(static_cast<std::streamoff>(data.rfind("feed")));
    file.put('F');
    file.close();
    TeskPrototypeEnvironment run("damaged", log);
    const std::string target = uniqueTableName("target");
    EXPECT_FALSE(restore(table, target, false, false, 0, run));
    EXPECT_TRUE(log->contains("Restore failed"));
    EXPECT_TRUE(log->contains(chunk + ": expected "));
    // Not one line of the damaged chunk reached the table, the intact ones
    // before the damage included.
    AwsDynamoDBService service(credentials, setup);
    const auto restored = tableContents(service, target);
    for (size_t start = 0, end; (end = data.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_EQ(restored.count(keyString(data.substr(start, end - start), {"id"})), 0u);
}

// An edited description once made a restore replay a third of the
// segments and report success; an edited shard tree would skip shards.
TEST_F(RestoreFixture, EditedDescriptionOrMetadataIsRefused) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, setup);
    const std::string table = uniqueTableName("tampered");
    ASSERT_TRUE(service.createTable(createTableBody(
        table, R"("BillingMode":"PAY_PER_REQUEST","StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_IMAGE"})"))
                    .isSuccess());
    std::vector<std::string> items;
    for (int i = 0; i < 60; ++i) items.push_back(sampleItem(i));
    for (size_t at = 0; at < items.size(); at += 25)
        ASSERT_TRUE(service.batchPutItems(table, std::vector<std::string>(items.begin() + at, items.begin() + std::min(items.size(), at + 25))).isSuccess());
    BackupJobResult full = backup(table, false);
    BackupJobResult incremental = backup(table, true);

    for (const std::string& path : {full.jobDirectory + "/description.json", incremental.jobDirectory + "/metadata.json"}) {
        std::string original;
        ASSERT_TRUE(file_util::readFile(path, original));
        std::string edited = original;
        if (path.find("description") != std::string::npos)
            edited.replace(edited.find("\"segments\":3"), 12, "\"segments\":1");
        else
            edited = R"({"roots":[],"children":{},"context":{},"time":1})";
        ASSERT_TRUE(file_util::writeAtomically(path, edited).empty());
        TeskPrototypeEnvironment run("tampered", log);
        EXPECT_FALSE(restore(table, uniqueTableName("target"), false, false, 0, run)) << path;
        EXPECT_TRUE(log->contains(path + ": expected ")) << path;
        ASSERT_TRUE(file_util::writeAtomically(path, original).empty());
    }
}

// DynamoDB keeps a string with a lone UTF-16 surrogate as it was given; a
// backup that could not parse one failed every run, and one that replaced
// it would restore a different item, or merge two keys into one.
TEST_F(RestoreFixture, LoneSurrogatesInKeysAndValuesComeBackExactly) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, setup);
    const std::string table = uniqueTableName("surrogates");
    ASSERT_TRUE(service.createTable(createTableBody(table, kOnDemandWithStream)).isSuccess());
    ASSERT_TRUE(service.batchPutItems(table, {R"({"id":{"S":"high\ud800"},"v":{"S":"x\udc00y"}})",
                                              R"({"id":{"S":"low\udfff"},"v":{"L":[{"S":"\udbff"}]}})",
                                              R"({"id":{"S":"pair\ud83d\ude00"},"v":{"S":"\ud800\ud800"}})",
                                              R"({"id":{"S":"gone\udc01"}})"})
                    .isSuccess());
    backup(table, false);
    std::map<std::string, WriteRequest> changes = {
        {"a", {1, R"({"id":{"S":"high\ud800"},"v":{"S":"changed\ud801"}})"}},
        {"b", {1, R"({"id":{"S":"new\udbff"},"v":{"SS":["\ud800","\udc00"]}})"}},
        {"c", {2, R"({"id":{"S":"gone\udc01"}})"}}};
    ASSERT_TRUE(service.batchWriteItems(table, {"id"}, changes).isSuccess());
    backup(table, true);

    const auto source = tableContents(service, table);
    ASSERT_EQ(source.size(), 4u);
    ASSERT_EQ(source.count(R"([{"S":"high\ud800"}])"), 1u);
    const std::string destination = uniqueTableName("surrogates-restored");
    TeskPrototypeEnvironment run("restore", log);
    ASSERT_TRUE(restore(table, destination, false, false, 0, run)) << run.getFailure();
    const auto restored = tableContents(service, destination);
    EXPECT_TRUE(sameItems(restored, source));
    EXPECT_EQ(restored.at(R"([{"S":"high\ud800"}])"), R"({"v":{"S":"changed\ud801"},"id":{"S":"high\ud800"}})");
}

TEST_F(RestoreFixture, PlansNeedACompleteFullBackup) {
    BackupStore backups(store.path);
    ASSERT_EQ(backups.open(), "");
    RestorePlan plan;
    std::string error;
    EXPECT_FALSE(planRestore(backups, "us-east-1", "none", 0, plan, error));
    EXPECT_NE(error.find("no complete full backup of none [us-east-1]"), std::string::npos);
    EXPECT_FALSE(planRestore(backups, "us-east-1", "none", 7, plan, error));
    EXPECT_NE(error.find("no job 7"), std::string::npos);
}

} // namespace
