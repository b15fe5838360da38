#pragma once
// One backup of one table into the backup store, as a job: allocates (or,
// for a full backup, resumes) the job, runs the full or incremental runner
// on a store environment, and commits the outcome in the job's manifest.
// A full job is complete only when every segment was scanned to its end and
// recorded; an incremental job when every shard was read and metadata.json
// committed. An incremental continues from the newest complete incremental
// of the same table in the store (or, with none, from each shard's start).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "aws/AmazonCredentials.h"
#include "platform/Clock.h"
#include "store/BackupManifest.h"
#include "store/StoreBackend.h"
#include "store/StoreEnvironment.h"

struct BackupJobOptions {
    std::string storeRoot;                 // a local store, unless `backend` is given
    std::shared_ptr<StoreBackend> backend; // where the store is kept
    std::string table;
    std::string region;
    bool incremental = false;
    unsigned segments = 4;     // full: parallel scan segments
    unsigned threads = 0;      // incremental: worker threads; 0: one per shard
    int64_t readCapacity = 0;  // full: raise read capacity to this for the scan; 0: leave it
    int64_t resumeJob = 0;     // full: a stopped, failed or interrupted job to continue; 0: a new job
    uint64_t chunkSize = StoreEnvironment::kDefaultChunkSize;
    int compressionLevel = 0;  // above 0: chunks are compressed with zstd at this level
    AmazonCredentials credentials;
    bool logToStderr = false;  // the job log always goes to the job's backup.log
    Clock* clock = &systemClock();
    const std::atomic<bool>* stopFlag = nullptr;
    // Called once the job exists and before reading starts (progress display).
    std::function<void(StoreEnvironment&)> onStart;
    // Called once reading has ended, before the outcome is committed.
    std::function<void()> onScanEnd;
};

struct BackupJobResult {
    int64_t jobId = 0;
    std::string status;        // complete, stopped, failed; empty when no job was started
    std::string error;         // what went wrong and what to do
    std::string jobDirectory;
    BackupManifest manifest;
    // A complete job that left the table's read capacity raised: what to do.
    std::string capacityWarning;
};

BackupJobResult runBackupJob(const BackupJobOptions& options);
