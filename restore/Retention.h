#pragma once
// Which jobs of a backup store a prune removes. It keeps what a restore
// needs and nothing else:
// - full backups by the rules (the newest `keepLast`, those finished within
//   `keepWithinSeconds`); every full newer than the oldest one kept is kept
//   too, so that no restore point between kept ones loses its full;
// - every incremental a kept full's restores replay, with the older ones
//   their chains reach back through: an incremental goes only with its full;
// - the newest complete incremental of a table, which the next incremental
//   continues from;
// - the newest full backup of a table, whatever the rules say;
// - everything of a table that has no complete full backup at all.
// Failed, stopped and interrupted jobs begun more than
// `keepFailedWithinSeconds` ago go, and so do job folders without a manifest
// that no process holds. A job some process holds is never removed.

#include <cstdint>
#include <string>
#include <vector>

#include "store/BackupStore.h"

struct RetentionRules {
    int64_t keepLast = -1;          // -1: not a rule
    int64_t keepWithinSeconds = -1; // -1: not a rule
    int64_t keepFailedWithinSeconds = 7 * 86400;
};

struct PruneEntry {
    std::string key;       // of the job's folder
    std::string directory; // for messages
    int64_t jobId = 0;     // 0 for a folder without a manifest
    std::string table, region, level, status;
    std::string reason;
};

struct PrunePlan {
    std::vector<PruneEntry> remove; // incrementals before fulls
    std::vector<int64_t> kept;
};

PrunePlan planPrune(const std::vector<BackupStore::Job>& jobs, const std::vector<std::string>& abandoned,
                    const RetentionRules& rules, int64_t now);
