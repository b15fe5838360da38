#pragma once
// Which jobs of the backup store restore a table to a point: the newest
// complete full backup at or before the target job, then every complete
// incremental after it up to the target, in order.

#include <cstdint>
#include <string>
#include <vector>

#include "host/BackupStore.h"

struct RestorePlan {
    BackupStore::Job full;
    std::vector<BackupStore::Job> incrementals;
};

// `targetJob` 0 means the newest complete job of the table. False with a
// reason that says what to do when no such plan exists.
bool planRestore(const BackupStore& store, const std::string& region, const std::string& table, int64_t targetJob,
                 RestorePlan& plan, std::string& error);
