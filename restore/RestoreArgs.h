#pragma once
// The arguments of the restore workers: one per full-backup segment, one
// per shard of an incremental.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "aws/AmazonCredentials.h"
#include "framework/HxCriticalSectionH.h"
#include "framework/HxThreadPool.h"
#include "framework/TeskEnvironment.h"
#include "framework/TeskInput.h"

struct FullRestoreArgs {
    AmazonCredentials* credentials = nullptr;
    std::string destinationTable;
    std::string sourceTable;
    TeskEnvironment* environment = nullptr; // the full backup's
    int segment = 0;
    bool succeeded = false;
    bool verbose = true;
    TeskInput* input = nullptr; // null: ask the environment
    std::vector<std::string> keySchema;
    int itemMultiplier = 0;
};

struct IncrementalRestoreArgs;
using IncrementalArgsMap = std::map<std::string, IncrementalRestoreArgs*>;

struct IncrementalRestoreArgs {
    // Copies its arguments and registers itself in `argsMap` under its shard
    // id (replacing an earlier entry, which is deleted).
    IncrementalRestoreArgs(AmazonCredentials* credentials, std::string destinationTable, std::string shardId,
                           TeskEnvironment* environment, int64_t time, std::vector<std::string> keySchema,
                           std::shared_ptr<IncrementalArgsMap> argsMap, std::vector<std::string> children,
                           std::shared_ptr<HxThreadPool> pool, HxCriticalSectionH* lock);

    AmazonCredentials* credentials;
    std::string destinationTable;
    std::string shardId;
    TeskEnvironment* environment; // the incremental's
    int64_t time;
    std::vector<std::string> keySchema;
    // The map the record is registered in; its creator owns it (and the
    // records in it) and keeps it for as long as the workers run.
    IncrementalArgsMap* argsMap;
    std::vector<std::string> children;
    std::shared_ptr<HxThreadPool> pool; // children are queued here; null: not queued
    HxCriticalSectionH* lock;
    bool succeeded = false;
    bool verbose = true;
    TeskInput* input = nullptr; // null: ask the environment
};
