// Restore planning over the host's archive manager and index, which our host
// answers from a backup store: which jobs make up a point in time, and what
// the index says about a table's jobs and shards.

#include <gtest/gtest.h>

#include "agent/DynamoDBTESK.h"
#include "store/BackupStore.h"
#include "platform/FileUtil.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace {

struct PlanningFixture : ::testing::Test {
    TempDir directory;
    BackupStore store{directory.path};
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    ScopedEnv detail{"DDB_DEBUG_LEVEL", "3"}; // planning explains itself at the detail levels
    DynamoDBUtil util{17, 2, log};

    PlanningFixture() {
        EXPECT_EQ(store.open(), "");
        HostIndex::registerApplication(17, directory.path);
    }
    ~PlanningFixture() override { HostIndex::forgetApplication(17); }

    // A complete job of table t in region r, created at `time`.
    void job(int64_t id, bool incremental, int64_t time, const std::string& status = "complete") {
        BackupManifest manifest;
        manifest.table = "t";
        manifest.region = "r";
        manifest.jobId = id;
        manifest.level = incremental ? "incremental" : "full";
        manifest.startTime = time;
        manifest.status = status;
        manifest.segmentCount = incremental ? 0 : 1;
        if (incremental) manifest.shards["shard-1"] = ShardRecord{"shard-1", true, "100", {}, {}, true};
        else manifest.segments[0] = SegmentRecord{0, true, "", {}};
        std::string error;
        ASSERT_TRUE(store.saveManifest(manifest, error)) << error;
        const std::string where = store.jobDirectory(manifest);
        file_util::writeAtomically(where + "/description.json", R"({"table":{"TableName":"t"},"segments":1})");
        if (incremental) file_util::writeAtomically(where + "/metadata.json", R"({"roots":["shard-1"],"time":1})");
    }

    void fiveJobs() {
        job(1, false, 10);
        job(2, true, 20);
        job(3, true, 30);
        job(4, false, 40);
        job(5, true, 50);
    }
};

TEST_F(PlanningFixture, PointInTimeTakesTheLatestFullAndTheIncrementalsAfterIt) {
    fiveJobs();
    std::vector<long long> jobs;
    int64_t earlier = -1;
    std::vector<ArchiveFileRecord> files;
    std::map<long long, unsigned long> levels;
    ASSERT_TRUE(util.getJobListByAppId(35, jobs, earlier, files, levels, 0, 0).ok());
    EXPECT_EQ(jobs, (std::vector<long long>{1, 2, 3}));
    EXPECT_EQ(earlier, 0);
    EXPECT_TRUE(log->contains("Skipping job [5] with createTime 50 > toTime 35, backupLevel 2."));

    jobs.clear();
    files.clear();
    ASSERT_TRUE(util.getJobListByAppId(0, jobs, earlier, files, levels, 0, 0).ok());
    EXPECT_EQ(jobs, (std::vector<long long>{4, 5}));
    EXPECT_EQ(earlier, 3);
    EXPECT_EQ(levels[3], 2u);
}

TEST_F(PlanningFixture, IncompleteJobsAndMissingApplicationsAreNotPlanned) {
    job(1, false, 10, "failed");
    std::vector<long long> jobs;
    int64_t earlier = 0;
    std::vector<ArchiveFileRecord> files;
    std::map<long long, unsigned long> levels;
    ASSERT_TRUE(util.getJobListByAppId(0, jobs, earlier, files, levels, 0, 0).ok());
    EXPECT_TRUE(jobs.empty());
    EXPECT_TRUE(log->contains("Found no job ids for AppId[17]."));

    DynamoDBUtil unknown(99, 2, log);
    EXPECT_EQ(unknown.getJobListByAppId(0, jobs, earlier, files, levels, 0, 0).text(), "Error obtaining jobs for app id 99");
    DynamoDBUtil none(0, 2, log);
    EXPECT_EQ(none.getJobListByAppId(0, jobs, earlier, files, levels, 0, 0).text(), "No app id has been provided");
}

TEST_F(PlanningFixture, AJobIdHeldByTwoStoresIsNotMixedIntoAPlan) {
    fiveJobs();
    TempDir otherDirectory;
    BackupStore other(otherDirectory.path);
    ASSERT_EQ(other.open(), "");
    BackupManifest foreign;
    foreign.table = "x";
    foreign.region = "r";
    foreign.jobId = 2; // the same id as a job of application 17
    foreign.status = "complete";
    std::string error;
    ASSERT_TRUE(other.saveManifest(foreign, error)) << error;
    HostIndex::registerApplication(18, otherDirectory.path);

    std::vector<long long> jobs;
    int64_t earlier = 0;
    std::vector<ArchiveFileRecord> files;
    std::map<long long, unsigned long> levels;
    EXPECT_EQ(util.getJobListByAppId(0, jobs, earlier, files, levels, 0, 0).code(), 1627);
    EXPECT_TRUE(log->contains("getArchFileListForJobList error [3]"));
    EXPECT_TRUE(jobs.empty());
    HostIndex::forgetApplication(18);
}

TEST_F(PlanningFixture, IndexBrowseFindsJobsShardsAndChildren) {
    fiveJobs();
    IdxMetadata::DynamoDBMetadata metadata;
    bool incremental = false;
    bool notUnique = true;
    // Job 2 is an incremental: the full path finds nothing, the other type does.
    ASSERT_TRUE(util.browseIndexForTable("r", "t", 2, "ma", "client", 0, 2, 17, metadata, incremental, notUnique));
    EXPECT_TRUE(incremental);
    EXPECT_FALSE(notUnique);
    EXPECT_EQ(metadata.description, R"({"table":{"TableName":"t"},"segments":1})");
    EXPECT_EQ(metadata.extra, R"({"roots":["shard-1"],"time":1})");
    EXPECT_TRUE(log->contains("(trying other backup type)"));

    ASSERT_TRUE(util.browseIndexForJob("r", "t", false, 4, "ma", "client", 0, 2, 17, metadata, notUnique));
    EXPECT_FALSE(notUnique);
    EXPECT_TRUE(log->contains("Child path '/r/t/F4/1' without metadata"));
    EXPECT_TRUE(util.browseIndexForJob("r", "t", true, 4, "ma", "client", 0, 2, 17, metadata, notUnique));
    EXPECT_TRUE(notUnique); // no incremental job 4

    ASSERT_TRUE(util.browseIndexForShard("r", "t", 5, "shard-1", "ma", "client", 0, 2, 17, metadata));
    EXPECT_EQ(metadata.extra, "100");
    EXPECT_FALSE(util.browseIndexForShard("r", "t", 5, "shard-9", "ma", "client", 0, 2, 17, metadata));

    std::vector<std::string> paths;
    std::map<int, IdxMetadata::DynamoDBMetadata> children;
    ASSERT_TRUE(util.browseIndexForChildren("r", "t", true, 3, "ma", "client", 0, 2, 17, paths, children));
    EXPECT_EQ(paths, std::vector<std::string>{"/r/t/I3/shard-1"});
    EXPECT_EQ(children[0].extra, "100");

    std::map<int, std::string> raw;
    EXPECT_FALSE(util.browseIndex("ma", "client", 0, 2, 99, 0, "/r/t/F1", paths, raw)); // unknown application
}

} // namespace
