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
        HostIndex::registerApplication(17, {directory.path, "r", "t"});
    }
    ~PlanningFixture() override { HostIndex::forgetApplication(17); }

    // A complete job of table `table` in region r, created at `time`.
    void job(int64_t id, bool incremental, int64_t time, const std::string& status = "complete",
             const std::string& table = "t") {
        job(store, id, incremental, time, status, table);
    }
    static void job(BackupStore& store, int64_t id, bool incremental, int64_t time, const std::string& status,
                    const std::string& table) {
        BackupManifest manifest;
        manifest.table = table;
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

    // What the host is given when it asks for a restore plan of application
    // `appId` (0: the one the fixture registered) up to `toTime` (0: now).
    struct Plan {
        std::vector<long long> jobs;
        int64_t earlier = -1;
        std::vector<ArchiveFileRecord> files;
        std::map<long long, unsigned long> levels;
    };
    Plan plan(int64_t toTime = 0, int appId = 0) {
        Plan planned;
        EXPECT_TRUE(util.getJobListByAppId(toTime, planned.jobs, planned.earlier, planned.files, planned.levels, appId, 0).ok());
        return planned;
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
    const Plan atTime35 = plan(35);
    EXPECT_EQ(atTime35.jobs, (std::vector<long long>{1, 2, 3}));
    EXPECT_EQ(atTime35.earlier, 0);
    EXPECT_TRUE(log->contains("Skipping job [5] with createTime 50 > toTime 35, backupLevel 2."));

    Plan now = plan();
    EXPECT_EQ(now.jobs, (std::vector<long long>{4, 5}));
    EXPECT_EQ(now.earlier, 3);
    EXPECT_EQ(now.levels[3], 2u);
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

// An application is one table: a store holding several tables plans each
// from its own jobs, never taking another table's full as its base.
TEST_F(PlanningFixture, EachTablePlansFromItsOwnJobs) {
    job(1, false, 10);
    job(2, false, 20, "complete", "u");
    job(3, true, 30);
    HostIndex::registerApplication(19, {directory.path, "r", "u"});
    EXPECT_EQ(plan().jobs, (std::vector<long long>{1, 3}));
    EXPECT_EQ(plan(0, 19).jobs, (std::vector<long long>{2}));
    IdxMetadata::DynamoDBMetadata metadata;
    bool notUnique = false;
    EXPECT_FALSE(util.browseIndexForJob("r", "u", false, 1, "ma", "client", 0, 2, 19, metadata, notUnique) && !notUnique);
    HostIndex::forgetApplication(19);
}

// Two stores each with their own job 1 and 2: the host's ids tell them
// apart, so each application plans, and browses, its own store's jobs.
TEST_F(PlanningFixture, JobIdsAreUniqueAcrossRegisteredStores) {
    fiveJobs();
    TempDir otherDirectory;
    BackupStore other(otherDirectory.path);
    ASSERT_EQ(other.open(), "");
    job(other, 1, false, 100, "complete", "t");
    job(other, 2, true, 110, "complete", "t");
    HostIndex::registerApplication(18, {otherDirectory.path, "r", "t"});
    const int64_t base = HostIndex::hostJobId(otherDirectory.path, 0);
    ASSERT_GT(base, 0);

    EXPECT_EQ(plan().jobs, (std::vector<long long>{4, 5}));
    const Plan other18 = plan(0, 18);
    EXPECT_EQ(other18.jobs, (std::vector<long long>{base + 1, base + 2}));
    ASSERT_EQ(other18.files.size(), 2u);
    EXPECT_EQ(other18.files[0].creationTime, 100u);

    // The other store's incremental, by its host id; the plain id 2 is the
    // first store's, which application 18 does not see.
    IdxMetadata::DynamoDBMetadata metadata;
    bool incremental = false;
    bool notUnique = true;
    ASSERT_TRUE(util.browseIndexForTable("r", "t", base + 2, "ma", "client", 0, 2, 18, metadata, incremental, notUnique));
    EXPECT_TRUE(incremental);
    EXPECT_FALSE(notUnique);
    ASSERT_TRUE(util.browseIndexForTable("r", "t", 2, "ma", "client", 0, 2, 18, metadata, incremental, notUnique));
    EXPECT_TRUE(notUnique);

    // Moved to the first store, the application leaves the other one's
    // namespace free: its host ids name nothing any more.
    HostIndex::registerApplication(18, {directory.path, "r", "t"});
    EXPECT_EQ(HostIndex::hostJobId(otherDirectory.path, 0), -1);
    std::string root;
    int64_t id = 0;
    EXPECT_FALSE(HostIndex::resolveJob(base + 1, root, id));
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
