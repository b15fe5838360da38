// Full backup jobs into the backup store, against the local endpoint: a job
// that completes verifies clean; a stopped job resumes to exactly the table;
// a missing table gives a failed job, never a complete one.

#include <gtest/gtest.h>

#include <map>

#include "backup/FullBackupJob.h"
#include "dynamodb/JsonText.h"
#include "host/BackupVerifier.h"
#include "host/FileUtil.h"
#include "tests/support/SampleTable.h"
#include "tests/support/TempDir.h"

namespace {

// Item ids in every chunk of a job, with how often each occurs.
std::map<std::string, int> idsInJob(const FullBackupJobResult& result) {
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
    FullBackupJobOptions options() {
        FullBackupJobOptions o;
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

TEST_F(StoreBackupFixture, CompleteJobHoldsEveryItemOnceAndVerifies) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    FullBackupJobResult result = runFullBackupJob(options());
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

    FullBackupJobResult again = runFullBackupJob(options());
    EXPECT_EQ(again.jobId, 2);
    FullBackupJobOptions resumeDone = options();
    resumeDone.resumeJob = 1;
    FullBackupJobResult refused = runFullBackupJob(resumeDone);
    EXPECT_TRUE(refused.status.empty());
    EXPECT_NE(refused.error.find("already complete"), std::string::npos);
}

TEST_F(StoreBackupFixture, StoppedJobResumesToExactlyTheTable) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    std::atomic<bool> stop{true}; // every segment stops after its first page
    FullBackupJobOptions first = options();
    first.segments = 1;
    first.stopFlag = &stop;
    FullBackupJobResult stopped = runFullBackupJob(first);
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
    FullBackupJobOptions resume = options();
    resume.resumeJob = stopped.jobId;
    resume.stopFlag = &stop;
    FullBackupJobResult finished = runFullBackupJob(resume);
    ASSERT_EQ(finished.status, "complete") << finished.error;
    auto ids = idsInJob(finished);
    EXPECT_EQ(ids.size(), static_cast<size_t>(kItems));
    for (const auto& id : ids) EXPECT_EQ(id.second, 1) << id.first;
    ASSERT_TRUE(backups.findJob(stopped.jobId, job, error));
    EXPECT_TRUE(verifyJob(job).ok());
}

TEST_F(StoreBackupFixture, MissingTableGivesAFailedJobThatSaysWhy) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    FullBackupJobOptions missing = options();
    missing.table = uniqueTableName("missing");
    FullBackupJobResult result = runFullBackupJob(missing);
    EXPECT_EQ(result.status, "failed");
    EXPECT_NE(result.error.find(missing.table + " [us-east-1]"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find("ResourceNotFoundException"), std::string::npos) << result.error;
    EXPECT_EQ(result.manifest.status, "failed");
    EXPECT_NE(result.manifest.failure.find("Describe failed"), std::string::npos);
}

TEST_F(StoreBackupFixture, NamesThatCouldLeaveTheStoreAreRefused) {
    FullBackupJobOptions escape = options();
    escape.table = "../../etc";
    FullBackupJobResult result = runFullBackupJob(escape);
    EXPECT_TRUE(result.status.empty());
    EXPECT_NE(result.error.find("table name"), std::string::npos);
}

} // namespace
