#pragma once
// One full backup of one table into the backup store, as a job: allocates
// (or resumes) the job, runs the full backup runner on a store environment,
// and commits the outcome in the job's manifest. The job is marked complete
// only when every segment was scanned to its end and recorded.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "aws/AmazonCredentials.h"
#include "host/BackupManifest.h"
#include "host/Clock.h"
#include "host/StoreEnvironment.h"

struct FullBackupJobOptions {
    std::string storeRoot;
    std::string table;
    std::string region;
    unsigned segments = 4;
    int64_t readCapacity = 0;  // raise read capacity to this for the scan; 0: leave it
    int64_t resumeJob = 0;     // a stopped, failed or interrupted job to continue; 0: a new job
    uint64_t chunkSize = StoreEnvironment::kDefaultChunkSize;
    AmazonCredentials credentials;
    bool logToStderr = false;  // the job log always goes to <job>/backup.log
    Clock* clock = &systemClock();
    const std::atomic<bool>* stopFlag = nullptr;
    // Called once the job exists and before the scan starts (progress display).
    std::function<void(StoreEnvironment&)> onStart;
    // Called once the scan has ended, before the outcome is committed.
    std::function<void()> onScanEnd;
};

struct FullBackupJobResult {
    int64_t jobId = 0;
    std::string status;        // complete, stopped, failed; empty when no job was started
    std::string error;         // what went wrong and what to do
    std::string jobDirectory;
    BackupManifest manifest;
};

FullBackupJobResult runFullBackupJob(const FullBackupJobOptions& options);
