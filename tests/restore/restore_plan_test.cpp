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

    // A complete job; `afterFull`, `previous` and the creation times of its
    // changes (none: a store from before they were recorded) only for
    // incrementals.
    void job(int64_t id, bool incremental, int64_t start, int64_t end, int64_t afterFull = -1, int64_t previous = 0,
             std::vector<int64_t> changeTimes = {}) {
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
        if (incremental) {
            ShardRecord shard{"shard-1", true, "finished", {ChunkRecord{1, 100, changeTimes.size() + 1, "00"}}, {},
                              !changeTimes.empty()};
            for (size_t line = 0; line < changeTimes.size(); ++line)
                if (changeTimes[line] >= 0) shard.times.push_back(TimeMark{line, changeTimes[line]});
            m.shards[shard.id] = shard;
        }
        std::string error;
        ASSERT_TRUE(store.saveManifest(m, error)) << error;
    }

    std::string planAt(int64_t at, std::string* error = nullptr) {
        RestorePlan p;
        std::string why;
        if (!planRestoreAt(store, "us-east-1", "orders", at, p, why)) {
            if (error) *error = why;
            return "refused";
        }
        EXPECT_EQ(p.until, at);
        std::string jobs = p.full.manifest.directoryName();
        for (const auto& incremental : p.incrementals) jobs += "," + incremental.manifest.directoryName();
        return jobs;
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
    const std::string tail = "I3 continues job 7, which is not a complete incremental of the table; jobs that can be "
                             "restored: F1, I2";
    EXPECT_EQ(error.substr(error.size() - std::min(error.size(), tail.size())), tail) << error;
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

// Times here are seconds from 1,000,000,000 (2001-09-09T01:46:40Z).
constexpr int64_t T = 1000000000;

TEST_F(PlanFixture, RestoreAtTakesTheNewestFinishedFullAndCutsItsChain) {
    job(1, false, T + 100, T + 200);
    job(2, true, T + 250, T + 251, 1, 0, {T + 150, T + 240});
    job(3, true, T + 300, T + 301, 1, 2, {T + 260, T + 320});
    job(4, false, T + 350, T + 400);
    job(5, true, T + 450, T + 451, 4, 3, {T + 410});
    std::string error;
    EXPECT_EQ(planAt(T + 199, &error), "refused");
    EXPECT_EQ(error, "cannot restore orders [us-east-1] as of 2001-09-09T01:49:59Z: no complete full backup of it had "
                     "finished by then. Times that can be restored: 2001-09-09T01:50:00Z to 2001-09-09T01:54:09Z (from "
                     "F1); 2001-09-09T01:53:20Z to 2001-09-09T01:54:09Z (from F4)")
        << error;
    EXPECT_EQ(planAt(T + 200), "F1,I2");
    EXPECT_EQ(planAt(T + 260), "F1,I2,I3");
    EXPECT_EQ(planAt(T + 399), "F1,I2,I3,I5"); // F4 was still scanning
    EXPECT_EQ(planAt(T + 420), "F4,I5");       // I3 holds nothing from F4's scan on
    EXPECT_EQ(planAt(T + 449), "F4,I5");
    EXPECT_EQ(planAt(T + 450, &error), "refused");
    EXPECT_NE(error.find("no complete incremental chain reaches that second"), std::string::npos) << error;
}

// An incremental reads a whole page past its own start, so it may hold
// changes made after a later full began; it is then replayed on that full.
TEST_F(PlanFixture, AnIncrementalHoldingChangesFromAFullsScanIsReplayedOnIt) {
    job(1, false, T + 100, T + 200);
    job(2, true, T + 300, T + 301, 1, 0, {T + 250, T + 355});
    job(3, false, T + 350, T + 400);
    job(4, true, T + 450, T + 451, 3, 2, {T + 420});
    EXPECT_EQ(planAt(T + 420), "F3,I2,I4");
    EXPECT_EQ(plan(4), "F3,I2,I4");
    EXPECT_EQ(plan(0), "F3,I2,I4");
}

TEST_F(PlanFixture, RestoreAtRefusesChainsItCannotCut) {
    job(1, false, T + 100, T + 200);
    job(2, true, T + 250, T + 251, 1, 0); // written before change times were kept
    std::string error;
    EXPECT_EQ(planAt(T + 220, &error), "refused");
    EXPECT_NE(error.find("incremental I2 was written before change times were recorded, so it can only be restored "
                         "whole (--job)"),
              std::string::npos)
        << error;
    EXPECT_EQ(plan(2), "F1,I2");
    // A chain that begins after the full began cannot bring it up to date.
    job(3, true, T + 300, T + 301, 1, 9, {T + 290});
    EXPECT_EQ(planAt(T + 299, &error), "refused");
    EXPECT_NE(error.find("Times that can be restored: none"), std::string::npos) << error;
}

TEST_F(PlanFixture, CoveredSpansFollowTheChain) {
    job(1, false, T + 100, T + 200);
    job(2, true, T + 250, T + 251, 1, 0, {T + 240});
    job(3, true, T + 300, T + 301, 1, 2, {T + 260});
    job(4, true, T + 350, T + 351, 1, 8, {T + 340});
    job(5, true, T + 400, T + 401, 0, 0, {T + 390});
    std::vector<std::string> problems;
    const auto jobs = store.listJobs(problems);
    ASSERT_EQ(jobs.size(), 5u);
    auto span = [&](size_t index) {
        const CoveredSpan s = coveredSpan(jobs, jobs[index]);
        return s.known ? std::to_string(s.from - T) + ".." + std::to_string(s.until - T) : "unknown";
    };
    EXPECT_EQ(span(0), "100..200");
    EXPECT_EQ(span(1), "100..250"); // a new chain from F1's start
    EXPECT_EQ(span(2), "250..300");
    EXPECT_EQ(span(3), "unknown"); // its predecessor is not in the store
    EXPECT_EQ(span(4), std::to_string(400 - 24 * 3600) + "..400"); // the stream's whole retention
}

} // namespace
