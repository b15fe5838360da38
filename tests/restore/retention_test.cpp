// Pruning a store: which jobs go, that every kept restore point still plans
// and finds its jobs afterwards, and that removal takes the whole folder.

#include <algorithm>

#include <gtest/gtest.h>

#include "restore/RestorePlan.h"
#include "restore/Retention.h"
#include "tests/support/TempDir.h"

namespace {

constexpr int64_t kDay = 86400;
constexpr int64_t kNow = 1000 * kDay;

struct RetentionFixture : ::testing::Test {
    TempDir directory;
    BackupStore store{directory.path};

    void SetUp() override { ASSERT_EQ(store.open(), ""); }

    void job(int64_t id, bool incremental, int64_t start, int64_t end, int64_t afterFull = -1, int64_t previous = 0,
             const std::string& status = "complete", const std::string& table = "orders") {
        BackupManifest m;
        m.level = incremental ? "incremental" : "full";
        m.table = table;
        m.region = "us-east-1";
        m.jobId = id;
        m.startTime = start;
        m.endTime = end;
        m.status = status;
        m.afterFull = afterFull;
        m.previousJob = previous;
        std::string error;
        ASSERT_TRUE(store.saveManifest(m, error)) << error;
        // Data below the folder, so that removal is seen to take it all.
        ASSERT_EQ(store.backend().put(BackupStore::jobKey(m) + "/1/1", "{}\n"), "");
    }

    // A chain of three fulls, each followed by incrementals; I3 read on past
    // the start of F4's scan, so a restore from F4 replays it too.
    void chain() {
        job(1, false, kNow - 30 * kDay, kNow - 30 * kDay + 100);
        job(2, true, kNow - 29 * kDay, kNow - 29 * kDay + 10, 1, 0);
        job(3, true, kNow - 21 * kDay, kNow - 19 * kDay, 1, 2);
        job(4, false, kNow - 20 * kDay, kNow - 20 * kDay + 100);
        job(5, true, kNow - 18 * kDay, kNow - 18 * kDay + 10, 4, 3);
        job(6, true, kNow - 11 * kDay, kNow - 11 * kDay + 10, 4, 5);
        job(7, false, kNow - 10 * kDay, kNow - 10 * kDay + 100);
        job(8, true, kNow - 9 * kDay, kNow - 9 * kDay + 10, 7, 6);
    }

    PrunePlan planFor(const RetentionRules& rules) {
        std::vector<std::string> problems;
        return planPrune(store.listJobs(problems), store.abandonedJobKeys(), rules, kNow);
    }

    static std::vector<int64_t> removedIds(const PrunePlan& plan) {
        std::vector<int64_t> ids;
        for (const auto& entry : plan.remove) ids.push_back(entry.jobId);
        return ids;
    }

    void prune(const PrunePlan& plan) {
        for (const auto& entry : plan.remove) {
            std::string error;
            ASSERT_TRUE(store.removeJob(entry.key, error)) << error;
        }
    }
};

TEST_F(RetentionFixture, KeepLastKeepsEveryRestorePointOfTheKeptFullsAndNothingElse) {
    chain();
    RetentionRules rules;
    rules.keepLast = 2;
    PrunePlan plan = planFor(rules);
    // I2 and I3 belong to F1, but F4's restores replay I3, and where I3's
    // changes begin is read from I2: only F1 goes.
    EXPECT_EQ(removedIds(plan), (std::vector<int64_t>{1}));
    EXPECT_EQ(plan.kept, (std::vector<int64_t>{2, 3, 4, 5, 6, 7, 8}));
    prune(plan);
    EXPECT_NE(::access((directory.path + "/us-east-1/orders/F1").c_str(), F_OK), 0);
    // Every restore point of the kept fulls still plans, from jobs that are
    // all still there.
    for (int64_t id : {4, 5, 6, 7, 8}) {
        RestorePlan restore;
        std::string error;
        EXPECT_TRUE(planRestore(store, "us-east-1", "orders", id, restore, error)) << id << ": " << error;
    }
    // Pruning again with the same rule finds nothing more to do.
    EXPECT_TRUE(planFor(rules).remove.empty());

    rules.keepLast = 1;
    plan = planFor(rules);
    // I6 ends before F7's scan began: F7 and I8 are needed, and I6 only as
    // the predecessor that shows where I8's changes begin.
    EXPECT_EQ(removedIds(plan), (std::vector<int64_t>{2, 3, 5, 4}));
    EXPECT_EQ(plan.kept, (std::vector<int64_t>{6, 7, 8}));
    prune(plan);
    RestorePlan restore;
    std::string error;
    ASSERT_TRUE(planRestore(store, "us-east-1", "orders", 0, restore, error)) << error;
    EXPECT_EQ(restore.full.manifest.jobId, 7);
    ASSERT_EQ(restore.incrementals.size(), 1u);
    EXPECT_EQ(restore.incrementals[0].manifest.jobId, 8);
}

TEST_F(RetentionFixture, KeepWithinTakesEveryNewerFullAndNeverTheLastOne) {
    chain();
    RetentionRules rules;
    rules.keepWithinSeconds = 25 * kDay; // F4 and F7
    EXPECT_EQ(removedIds(planFor(rules)), (std::vector<int64_t>{1}));
    // Both rules: a full either of them keeps stays.
    rules.keepLast = 3;
    EXPECT_TRUE(planFor(rules).remove.empty());
    // Nothing is recent enough: the newest full and what it needs stay, so
    // the table can still be restored.
    rules.keepLast = -1;
    rules.keepWithinSeconds = kDay;
    EXPECT_EQ(planFor(rules).kept, (std::vector<int64_t>{6, 7, 8}));
    // No rule at all: every complete job stays.
    EXPECT_TRUE(planFor(RetentionRules()).remove.empty());
}

TEST_F(RetentionFixture, OldFailedAndAbandonedJobsGoRecentAndRunningOnesStay) {
    job(1, false, kNow - 30 * kDay, kNow - 30 * kDay + 100);
    job(2, false, kNow - 20 * kDay, kNow - 20 * kDay, -1, 0, "failed");
    job(3, false, kNow - 10 * kDay, kNow - 10 * kDay, -1, 0, "stopped");
    job(4, false, kNow - kDay, kNow - kDay, -1, 0, "failed");
    job(5, false, kNow - 9 * kDay, 0, -1, 0, "running"); // no process holds it: interrupted
    job(6, false, kNow - 9 * kDay, 0, -1, 0, "running");
    job(9, false, kNow - 40 * kDay, kNow - 40 * kDay + 5, -1, 0, "complete", "users"); // a table with no rule hit
    std::string error;
    BackupStore::Job held;
    ASSERT_TRUE(store.findJob(6, held, error));
    auto lock = store.lockJob(held.manifest, error);
    ASSERT_TRUE(lock) << error;
    // A folder whose job never wrote a manifest.
    ASSERT_EQ(store.backend().put("us-east-1/orders/F7/1/1", "{}\n"), "");

    const PrunePlan plan = planFor(RetentionRules());
    EXPECT_EQ(removedIds(plan), (std::vector<int64_t>{2, 3, 5, 0}));
    EXPECT_EQ(plan.kept, (std::vector<int64_t>{1, 4, 6, 9}));
    prune(plan);
    EXPECT_NE(::access((directory.path + "/us-east-1/orders/F7").c_str(), F_OK), 0);
    std::vector<std::string> problems;
    EXPECT_EQ(store.listJobs(problems).size(), 4u);
    EXPECT_TRUE(problems.empty()) << problems[0];
    // A job a process holds is never removed, whatever a plan says.
    EXPECT_FALSE(store.removeJob(held.key, error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    EXPECT_TRUE(store.findJob(6, held, error));
}

TEST_F(RetentionFixture, ARemovalCutShortLeavesNoJobThatClaimsToBeWhole) {
    job(1, false, kNow - 30 * kDay, kNow - 30 * kDay + 100);
    job(2, false, kNow - 20 * kDay, kNow - 20 * kDay + 100);
    // What a removal leaves when it stops right after the manifest: the
    // job is no longer listed, and the next prune takes the rest.
    ASSERT_TRUE(store.backend().exists("us-east-1/orders/F1/manifest.json"));
    store.backend().remove("us-east-1/orders/F1/manifest.json");
    std::vector<std::string> problems;
    const auto jobs = store.listJobs(problems);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].manifest.jobId, 2);
    const PrunePlan plan = planFor(RetentionRules());
    EXPECT_EQ(removedIds(plan), (std::vector<int64_t>{0}));
    prune(plan);
    EXPECT_NE(::access((directory.path + "/us-east-1/orders/F1").c_str(), F_OK), 0);
    EXPECT_EQ(::access((directory.path + "/us-east-1/orders/F2/1/1").c_str(), F_OK), 0);
}

} // namespace
