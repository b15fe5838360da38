#pragma once
// Which jobs of the backup store restore a table to a point.
//
// A full backup is a fuzzy snapshot: each item as it was when the scan
// reached it. Changes replayed on top of it must therefore reach at least
// the end of its scan, or an item scanned late would be set back to an
// older change. So an incremental's changes follow a full only when that
// full was already complete when the incremental began; a restore to such
// an incremental starts from the newest full for which this holds, and
// replays every complete incremental after that full up to the target, in
// order. A restore to a full backup, or to the newest point when no
// incremental began after the newest full was complete, is that full alone.

#include <cstdint>
#include <string>
#include <vector>

#include "host/BackupStore.h"

struct RestorePlan {
    BackupStore::Job full;
    std::vector<BackupStore::Job> incrementals;
};

// `targetJob` 0 means the newest point the store can restore. False with a
// reason that says what to do, and which jobs can be restored, when no such
// plan exists.
bool planRestore(const BackupStore& store, const std::string& region, const std::string& table, int64_t targetJob,
                 RestorePlan& plan, std::string& error);
