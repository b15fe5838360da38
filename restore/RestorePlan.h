#pragma once
// Which jobs of the backup store restore a table to a point.
//
// A full backup is a fuzzy snapshot: each item as it was when the scan
// reached it. It is consistent only from the end of its scan, and only with
// every change made since its scan began replayed on top. An incremental
// holds every change from where its predecessor stopped (or, first in a
// chain, from the start of the full it began from) until it began itself,
// each with its time. So a restore to a point takes the newest full that
// had finished by then, and replays, in order, the incrementals of one
// chain from the one that reaches back to that full's start up to one that
// began after the point. A restore to a full backup alone is that full.

#include <cstdint>
#include <string>
#include <vector>

#include "store/BackupStore.h"

struct RestorePlan {
    BackupStore::Job full;
    std::vector<BackupStore::Job> incrementals;
    // Replay only changes made at or before this second; 0: every change.
    int64_t until = 0;
};

// `targetJob` 0 means the newest point the store can restore. False with a
// reason that says what to do, and which jobs can be restored, when no such
// plan exists.
bool planRestore(const BackupStore& store, const std::string& region, const std::string& table, int64_t targetJob,
                 RestorePlan& plan, std::string& error);

// The plan that restores the table as it was at second `at`. False with the
// spans of time the store can restore when it cannot reach `at`.
bool planRestoreAt(const BackupStore& store, const std::string& region, const std::string& table, int64_t at,
                   RestorePlan& plan, std::string& error);

// What a complete job covers, for listings: a full backup from its scan's
// start to its end; an incremental every change from `from` until `until`
// (exclusive). `known` is false for an incremental whose predecessor is not
// a complete job of the list.
struct CoveredSpan {
    int64_t from = 0;
    int64_t until = 0;
    bool known = false;
};
CoveredSpan coveredSpan(const std::vector<BackupStore::Job>& jobs, const BackupStore::Job& job);

// The complete jobs of a table that restores from `fulls` need: those fulls,
// every incremental whose changes replay onto one of them, the older
// incrementals those chains reach back through, and the predecessor each
// chain's coverage is read from.
std::vector<int64_t> jobsRestoringFrom(const std::vector<BackupStore::Job>& jobs, const std::string& region,
                                       const std::string& table, const std::vector<int64_t>& fulls);
