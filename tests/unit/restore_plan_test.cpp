// Restore planning over the jobs of a store: which full backup a target's
// changes can be replayed on, and which chains are refused.

#include <gtest/gtest.h>

#include "restore/RestorePlan.h"
#include "tests/support/TempDir.h"

namespace {

struct PlanFixture : ::testing::Test {
    TempDir directory;
    BackupStore store{directory.path};

    void SetUp() override { ASSERT_EQ(store.open(), ""); }

    // A complete job; `afterFull` and `previous` only for incrementals.
    void job(int64_t id, bool incremental, int64_t start, int64_t end, int64_t afterFull = -1, int64_t previous = 0) {
        BackupManifest m;
        m.level = incremental ? "incremental" : "full";
        m.table = "orders";
        m.region = "us-east-1";
        m.jobId = id;
        m.startTime = start;
        m.endTime = end;
        m.status = "complete";
        m.afterFull = afterFull;
        m.previousJob = previous;
        std::string error;
        ASSERT_TRUE(store.saveManifest(m, error)) << error;
    }

    std::string plan(int64_t target, std::string* error = nullptr) {
        RestorePlan p;
        std::string why;
        if (!planRestore(store, "us-east-1", "orders", target, p, why)) {
            if (error) *error = why;
            return "refused";
        }
        std::string jobs = p.full.manifest.directoryName();
        for (const auto& incremental : p.incrementals) jobs += "," + incremental.manifest.directoryName();
        return jobs;
    }
};

// I2 began while F1 was still scanning: replaying it on F1 would set items
// F1 scanned late back to older values.
TEST_F(PlanFixture, AnIncrementalTakenDuringAFullIsNotReplayedOnIt) {
    job(1, false, 100, 200);
    job(2, true, 150, 151, 0);
    EXPECT_EQ(plan(0), "F1"); // the newest point is F1's end
    std::string error;
    EXPECT_EQ(plan(2, &error), "refused");
    EXPECT_NE(error.find("no complete full backup of orders [us-east-1] was finished when incremental I2 began"),
              std::string::npos)
        << error;
    EXPECT_NE(error.find("jobs that can be restored: F1"), std::string::npos) << error;

    // Once a later incremental follows F1, the whole chain is replayed.
    job(3, true, 250, 251, 1, 2);
    EXPECT_EQ(plan(0), "F1,I2,I3");
    EXPECT_EQ(plan(3), "F1,I2,I3");
}

TEST_F(PlanFixture, ATargetDuringANewerFullStartsFromTheOlderOne) {
    job(1, false, 100, 200);
    job(2, true, 250, 251, 1);
    job(3, false, 300, 400);
    job(4, true, 350, 351, 1, 2); // began while F3 was scanning
    EXPECT_EQ(plan(0), "F3");
    EXPECT_EQ(plan(4), "F1,I2,I4");
    EXPECT_EQ(plan(2), "F1,I2");
    EXPECT_EQ(plan(3), "F3");
    job(5, true, 450, 451, 3, 4);
    EXPECT_EQ(plan(0), "F3,I4,I5");
}

TEST_F(PlanFixture, BrokenChainsAndOldStoresAndMissingJobs) {
    job(1, false, 100, 200);
    job(2, true, 250, 251, 1);
    job(3, true, 300, 301, 1, 7); // continues a job that is not in the chain
    std::string error;
    EXPECT_EQ(plan(3, &error), "refused");
    EXPECT_NE(error.find("I3 does not continue I2"), std::string::npos) << error;
    EXPECT_EQ(plan(9, &error), "refused");
    EXPECT_NE(error.find("no job 9"), std::string::npos);

    // Without a recorded full, the times decide.
    TempDir other;
    BackupStore old(other.path);
    ASSERT_EQ(old.open(), "");
    std::swap(store, old);
    job(1, false, 100, 200);
    job(2, true, 199, 300);
    job(3, true, 200, 300, -1, 2);
    EXPECT_EQ(plan(2, &error), "refused");
    EXPECT_EQ(plan(3), "F1,I2,I3");
}

} // namespace
