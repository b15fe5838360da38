// File-by-file restore, as a host restoring from cloud storage drives it:
// the restore options create the destination, then every backup file of the
// store is handed to the factory and its bytes fed to the input it prepares.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>

#include "agent/DynamoDBTESK.h"
#include "backup/BackupJob.h"
#include "dynamodb/AwsDynamoDBService.h"
#include "text/JsonText.h"
#include "platform/FileUtil.h"
#include "framework/KeyString.h"
#include "agent/DynamoRemoteFileRestoreFactory.h"
#include "tests/support/JobFiles.h"
#include "tests/support/SampleTable.h"
#include "tests/support/TableContents.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace {

// A table keyed by "id" with 5/5 provisioned capacity, and `extra`
// members (such as a stream) in its CreateTable request.
std::string keyedTable(const std::string& name, const std::string& extra = "") {
    return R"({"TableName":")" + name +
           R"(","AttributeDefinitions":[{"AttributeName":"id","AttributeType":"S"}],"KeySchema":[{"AttributeName":"id","KeyType":"HASH"}],)"
           R"("ProvisionedThroughput":{"ReadCapacityUnits":5,"WriteCapacityUnits":5})" + extra + "}";
}

// The destination instance 1 in the host's management data, with the keys
// the local endpoint is used with ("local-secret", stored base64-encoded).
struct ManagedInstance {
    ManagedInstance() {
        ManagementData::install(R"({"instances":{"1":{"accessKey":"AKIDLOCAL","secretKey":"bG9jYWwtc2VjcmV0"}}})");
    }
    ~ManagedInstance() { ManagementData::clear(); }
};

// The host's destination instance, and a service on the local endpoint
// for setting up and reading tables.
struct LocalHost {
    ManagedInstance instance;
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    TeskPrototypeEnvironment setup{"setup", log};
    AmazonCredentials credentials = localCredentials();
    AwsDynamoDBService service{credentials, setup};
};

// A table of 300 items and a change of two, backed up as a full (F1) and
// an incremental (I2) into a fresh store.
struct BackedUpTable {
    std::string table = uniqueTableName("files");
    TempDir store;

    void create(AwsDynamoDBService& service) {
        ASSERT_TRUE(service.createTable(keyedTable(table, R"(,"StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_IMAGE"})")).isSuccess());
        std::vector<std::string> items;
        for (int i = 0; i < 300; ++i) items.push_back(sampleItem(i));
        for (size_t at = 0; at < items.size(); at += 25)
            ASSERT_TRUE(service.batchPutItems(table, std::vector<std::string>(items.begin() + at, items.begin() + std::min(items.size(), at + 25))).isSuccess());
        BackupJobOptions options;
        options.storeRoot = store.path;
        options.table = table;
        options.region = "us-east-1";
        options.segments = 12; // scans 1 and 10..12 show that directories match whole
        options.chunkSize = 32 * 1024;
        options.credentials = localCredentials();
        ASSERT_EQ(runBackupJob(options).status, "complete");
        std::map<std::string, WriteRequest> changes = {{"a", {2, R"({"id":{"S":"item-3"}})"}},
                                                       {"b", {1, R"({"id":{"S":"item-4"},"new":{"BOOL":true}})"}}};
        ASSERT_TRUE(service.batchWriteItems(table, {"id"}, changes).isSuccess());
        options.incremental = true;
        ASSERT_EQ(runBackupJob(options).status, "complete");
    }

    // The restore job's options: the table mapped to `destination`.
    std::string restoreOptions(const std::string& destination) const {
        RestoreJobOptions job;
        job.hasCloudAppsRestoreOptions = job.hasDynamoDbRestoreOptions = true;
        job.dynamoDbRestoreOptions.hasDestinationTables = true;
        job.dynamoDbRestoreOptions.destinationTables.push_back({{"us-east-1", table}, {"us-east-1", destination}});
        return job.serialize();
    }
    std::string metadata() const {
        std::string description;
        EXPECT_TRUE(file_util::readFile(store.path + "/us-east-1/" + table + "/F1/description.json", description));
        return IdxMetadata::DynamoDBMetadata{description, ""}.serialize();
    }
    // What the host says of the file's source, as the factory reads it.
    std::string extendedOptions() const {
        return R"({"us-east-1:)" + table + R"(":)" + json_text::quoted(metadata()) + "}";
    }
};

TEST(RemoteFileRestore, StoreFilesFedOneByOneRestoreTheTable) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    LocalHost host;
    auto& log = host.log;
    AwsDynamoDBService& service = host.service;
    BackedUpTable source;
    ASSERT_NO_FATAL_FAILURE(source.create(service));
    const std::string& table = source.table;
    TempDir& store = source.store;

    // The host's restore job: map the table to a new one.
    const std::string destination = uniqueTableName("files-restored");
    EvRstTask::registerTask(4242, source.restoreOptions(destination));
    const std::map<std::string, std::string> metadataByTable = {{"us-east-1:" + table, source.metadata()}};

    DynamoDBUtil util(log);
    ASSERT_EQ(util.InitializeForRestore(1), 0);
    std::string error;
    ASSERT_TRUE(util.ProcessRestoreOptions(EvRstTask::open(4242), metadataByTable, false, error).ok()) << error;
    ASSERT_EQ(util.getRestoreRunners().size(), 1u);

    std::unique_ptr<CloudDBRemoteFileFactory> factory(GetRemoteFileFactory());
    ASSERT_TRUE(factory->Initialize(4242).ok());
    CloudConnectionDetails details;
    details.destinationInstanceId = 1;
    details.extendedOptions = source.extendedOptions();
    std::vector<std::string> files;
    collectJobFiles(store.path, "/us-east-1/" + table + "/F1", files);
    collectJobFiles(store.path, "/us-east-1/" + table + "/I2", files);
    std::shared_ptr<TeskBufferedInput> input;
    int inputs = 0;
    for (const auto& file : files) {
        bool skip = false;
        CZoError status = factory->Process(details, file, skip);
        ASSERT_TRUE(status.ok()) << file << ": " << status.text();
        if (!skip) {
            if (input) {
                EXPECT_TRUE(input->waitForRestore());
            }
            input = factory->currentInput;
            ++inputs;
        }
        std::string data;
        ASSERT_TRUE(file_util::readFile(store.path + file, data));
        if (!data.empty()) input->processBuffer(data.data(), data.size());
    }
    if (input) {
        EXPECT_TRUE(input->waitForRestore());
    }
    input.reset();
    factory.reset();
    EXPECT_TRUE(util.CleanupRestore().ok());
    EXPECT_TRUE(util.getRestoreRunners().empty());

    EXPECT_GE(inputs, 12);
    EXPECT_TRUE(sameItems(tableContents(service, destination), tableContents(service, table)));
    EvRstTask::removeTask(4242);
}

// The module as a host meets it: a program that links nothing of ours
// loads libddb_agent.so, takes the factory from GetRemoteFileFactory and
// restores the full and the incremental file by file, with the management
// data and the restore job's options handed over as files. This process
// plays the restore controller: it prepares the destination and puts its
// capacity back.
TEST(RemoteFileRestore, AHostThatLoadsTheModuleRestoresFileByFile) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    LocalHost host;
    BackedUpTable source;
    ASSERT_NO_FATAL_FAILURE(source.create(host.service));
    TempDir hostFiles;
    const std::string destination = uniqueTableName("module-restored");
    ASSERT_EQ(file_util::writeAtomically(hostFiles.path + "/4747.json", source.restoreOptions(destination)), "");
    ASSERT_EQ(file_util::writeAtomically(hostFiles.path + "/management.json",
                                         R"({"instances":{"1":{"accessKey":"AKIDLOCAL","secretKey":"bG9jYWwtc2VjcmV0"}}})"),
              "");
    ScopedEnv tasks("DDB_RESTORE_TASKS", hostFiles.path);
    ScopedEnv management("DDB_MANAGEMENT", hostFiles.path + "/management.json");

    DynamoDBUtil util(host.log);
    ASSERT_EQ(util.InitializeForRestore(1), 0);
    std::string error;
    ASSERT_TRUE(util.ProcessRestoreOptions(EvRstTask::open(4747), {{"us-east-1:" + source.table, source.metadata()}},
                                           false, error)
                    .ok())
        << error;

    const std::string output = hostFiles.path + "/host.out";
    const std::string extended = source.extendedOptions();
    const std::string full = "/us-east-1/" + source.table + "/F1";
    const std::string incremental = "/us-east-1/" + source.table + "/I2";
    std::vector<const char*> argv = {DDB_MODULE_HOST, DDB_AGENT_MODULE, "4747", "1", extended.c_str(),
                                     source.store.path.c_str(), full.c_str(), incremental.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, DDB_MODULE_HOST, &actions, nullptr, const_cast<char* const*>(argv.data()), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    std::string said;
    file_util::readFile(output, said);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
    EXPECT_NE(said.find(full + "/1/1: "), std::string::npos) << said;

    EXPECT_TRUE(util.CleanupRestore().ok());
    EXPECT_TRUE(sameItems(tableContents(host.service, destination), tableContents(host.service, source.table)));
}

// One table name in two regions is two destinations: each gets its own
// runner, and each is concluded (its raised write capacity put back).
// Keyed by name alone, the second replaced the first, never concluded.
TEST(RemoteFileRestore, SameTableNameInTwoRegionsGetsARunnerEach) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    LocalHost host;
    auto& log = host.log;
    AwsDynamoDBService& service = host.service;
    const std::string destination = uniqueTableName("two-regions");
    const std::string description = R"({"table":)" + keyedTable(destination) + R"(,"segments":1})";
    ASSERT_TRUE(service.createTable(keyedTable(destination)).isSuccess());
    RestoreJobOptions job;
    job.hasCloudAppsRestoreOptions = job.hasDynamoDbRestoreOptions = true;
    job.dynamoDbRestoreOptions.hasDestinationTables = true;
    job.dynamoDbRestoreOptions.destinationTables.push_back({{"us-east-1", "orders"}, {"us-east-1", destination}});
    job.dynamoDbRestoreOptions.destinationTables.push_back({{"eu-west-1", "orders"}, {"eu-west-1", destination}});
    EvRstTask::registerTask(4545, job.serialize());
    const std::string metadata = IdxMetadata::DynamoDBMetadata{description, ""}.serialize();
    DynamoDBUtil util(log);
    ASSERT_EQ(util.InitializeForRestore(1), 0);
    std::string error;
    ASSERT_TRUE(util.ProcessRestoreOptions(EvRstTask::open(4545),
                                           {{"us-east-1:orders", metadata}, {"eu-west-1:orders", metadata}}, true, error)
                    .ok())
        << error;
    ASSERT_EQ(util.getRestoreRunners().size(), 2u);
    EXPECT_TRUE(util.getRestoreRunners().count({"us-east-1", destination}));
    EXPECT_TRUE(util.getRestoreRunners().count({"eu-west-1", destination}));
    EXPECT_TRUE(util.CleanupRestore().ok());
    EXPECT_TRUE(util.getRestoreRunners().empty());
    EvRstTask::removeTask(4545);
}

TEST(RemoteFileRestore, NamesMappingsAndDirectories) {
    RestoreJobOptions job;
    job.hasCloudAppsRestoreOptions = job.hasDynamoDbRestoreOptions = true;
    job.dynamoDbRestoreOptions.hasDestinationTables = true;
    job.dynamoDbRestoreOptions.destinationTables.push_back({{"reg1", "tab1"}, {"reg1", "copy"}});
    EvRstTask::registerTask(4343, job.serialize());
    ManagedInstance instance;

    auto log = std::make_shared<MemoryLogSink>();
    ScopedEnv detail("DDB_DEBUG_LEVEL", "3"); // the factory's lines are detail
    DynamoRemoteFileRestoreFactory factory(log);
    EXPECT_EQ(factory.Initialize(999).text(), "Failed to retrieve XML options from restore rstTask");
    ASSERT_TRUE(factory.Initialize(4343).ok());
    CloudConnectionDetails details;
    bool skip = false;
    EXPECT_EQ(factory.Process(details, "/reg1/tab1/F50/3/17", skip).code(), 1); // no destination instance
    details.destinationInstanceId = 1;
    ASSERT_TRUE(factory.Process(details, "/reg1/tab1/F50/3/17", skip).ok());
    EXPECT_FALSE(skip);
    auto first = factory.currentInput;
    ASSERT_TRUE(factory.Process(details, "/reg1/tab1/F50/3/18", skip).ok());
    EXPECT_TRUE(skip);
    skip = false;
    ASSERT_TRUE(factory.Process(details, "/reg1/tab1/F50/30/1", skip).ok());
    EXPECT_FALSE(skip); // another directory, though its name begins the same
    EXPECT_NE(factory.currentInput, first);

    ASSERT_TRUE(factory.Process(details, "reg1/tab1/F50/3/17", skip).ok());
    EXPECT_TRUE(log->contains("Skipping 'reg1/tab1/F50/3/17'"));
    CZoError unmapped = factory.Process(details, "/reg9/tab9/F1/1/1", skip);
    EXPECT_EQ(unmapped.code(), 87);
    EXPECT_EQ(unmapped.text(), "Failed to get destination(/) for source(reg9/tab9)");
    CZoError noMetadata = factory.Process(details, "/reg1/tab1/I51/shard-1/1", skip);
    EXPECT_EQ(noMetadata.text(), "Failed to unserialize DynamoDBMetadata");
    EvRstTask::removeTask(4343);
}

TEST(RemoteFileRestore, RestoreOptionsFailuresNameTheirCause) {
    DynamoDBUtil util(std::make_shared<MemoryLogSink>());
    std::string error;
    EXPECT_EQ(util.ProcessRestoreOptions(nullptr, {}, false, error).code(), 1627);
    EXPECT_EQ(error, "Failed to retrieve XML options from restore rstTask");
    EvRstTask::registerTask(4444, "{}");
    EXPECT_EQ(util.ProcessRestoreOptions(EvRstTask::open(4444), {}, false, error).code(), 1627);
    EXPECT_EQ(error, "CloudAppsRestoreOptions not found");
    RestoreJobOptions job;
    job.hasCloudAppsRestoreOptions = job.hasDynamoDbRestoreOptions = true;
    job.dynamoDbRestoreOptions.hasDestinationTables = true;
    EvRstTask::registerTask(4444, job.serialize());
    EXPECT_TRUE(util.ProcessRestoreOptions(EvRstTask::open(4444), {}, false, error).ok()); // empty list
    job.dynamoDbRestoreOptions.destinationTables.push_back({{"r", "t"}, {"r", "d"}});
    EvRstTask::registerTask(4444, job.serialize());
    CZoError missing = util.ProcessRestoreOptions(EvRstTask::open(4444), {}, false, error);
    EXPECT_EQ(missing.code(), 1168);
    EXPECT_EQ(error, "Metadata not found for r:t");
    EvRstTask::removeTask(4444);
}

} // namespace
