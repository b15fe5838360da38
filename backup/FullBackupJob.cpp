#include "backup/FullBackupJob.h"

#include <vector>

#include "backup/AwsDynamoDBFullBackupRunner.h"
#include "dynamodb/AwsDynamoDBService.h"
#include "host/BackupStore.h"
#include "host/TeskPrototypeEnvironment.h"

namespace {

std::string where(const FullBackupJobOptions& options) { return options.table + " [" + options.region + "]"; }

// Global-table replicas for the description; a failure to list them must not
// fail the backup, so it runs on a scratch environment.
GlobalTableMap globalTablesFor(const FullBackupJobOptions& options, TeskEnvironment& jobEnvironment) {
    GlobalTableMap globals;
    auto log = std::make_shared<MemoryLogSink>();
    TeskPrototypeEnvironment scratch("global tables", log, options.clock);
    AmazonCredentials credentials = options.credentials;
    AwsDynamoDBService service(credentials, scratch);
    if (!service.listGlobalTables(globals))
        jobEnvironment.log("runFullBackupJob", "could not list global tables (" + scratch.getFailure() +
                                                   "); the description will not name replica regions");
    return globals;
}

} // namespace

FullBackupJobResult runFullBackupJob(const FullBackupJobOptions& options) {
    FullBackupJobResult result;
    for (const auto& check : {BackupStore::checkComponent(options.table, "table name"),
                              BackupStore::checkComponent(options.region, "region")}) {
        if (!check.empty()) {
            result.error = check;
            return result;
        }
    }
    BackupStore store(options.storeRoot);
    std::string error = store.open();
    if (!error.empty()) {
        result.error = "cannot use the store: " + error;
        return result;
    }

    BackupManifest manifest;
    if (options.resumeJob > 0) {
        BackupStore::Job job;
        if (!store.findJob(options.resumeJob, job, error)) {
            result.error = error + "; 'ddb-backup jobs' lists the jobs you can resume";
            return result;
        }
        manifest = job.manifest;
        if (manifest.table != options.table || manifest.region != options.region) {
            result.error = "job " + std::to_string(options.resumeJob) + " backs up " + manifest.table + " [" +
                           manifest.region + "], not " + where(options);
            return result;
        }
        if (manifest.status == "complete") {
            result.error = "job " + std::to_string(options.resumeJob) + " of " + where(options) +
                           " is already complete; start a new backup instead";
            return result;
        }
    } else {
        manifest.table = options.table;
        manifest.region = options.region;
        manifest.segmentCount = options.segments;
        manifest.startTime = options.clock->now();
        if (!store.allocateJobId(manifest.jobId, error)) {
            result.error = error;
            return result;
        }
    }
    result.jobId = manifest.jobId;
    result.jobDirectory = store.jobDirectory(manifest.region, manifest.table, manifest.jobId);

    JobLock lock;
    if (!lock.acquire(result.jobDirectory)) {
        result.error = "job " + std::to_string(manifest.jobId) + " of " + where(options) +
                       " is running in another process";
        return result;
    }
    manifest.status = "running";
    manifest.failure.clear();
    manifest.endTime = 0;
    if (!store.saveManifest(manifest, error)) {
        result.error = "cannot write the manifest of job " + std::to_string(manifest.jobId) + ": " + error;
        return result;
    }

    auto sink = std::make_shared<StreamLogSink>(options.logToStderr, result.jobDirectory + "/backup.log");
    StoreEnvironment environment(store, manifest, sink, options.clock, options.chunkSize, options.stopFlag);

    // Resume: segments scanned to their end stay as they are; the others go
    // on from where they were recorded to stop (or from their start).
    std::vector<std::string> restarts(manifest.segmentCount);
    std::set<int> segments;
    for (unsigned i = 0; i < manifest.segmentCount; ++i) {
        auto recorded = manifest.segments.find(static_cast<int>(i));
        bool done = recorded != manifest.segments.end() && recorded->second.closed && recorded->second.restart.empty();
        if (recorded != manifest.segments.end() && recorded->second.closed) restarts[i] = recorded->second.restart;
        if (!done) segments.insert(static_cast<int>(i) + 1);
    }
    if (options.resumeJob > 0)
        environment.log("runFullBackupJob", "resuming job " + std::to_string(manifest.jobId) + ": " +
                                                std::to_string(segments.size()) + " of " +
                                                std::to_string(manifest.segmentCount) + " segments left");

    if (options.onStart) options.onStart(environment);
    GlobalTableMap globals = globalTablesFor(options, environment);
    AwsDynamoDBFullBackupRunner runner(options.credentials, environment);
    const bool ran = runner.execute(options.table, globals, options.readCapacity, manifest.segmentCount, &restarts,
                                    &segments);
    if (options.onScanEnd) options.onScanEnd();

    const BackupManifest now = environment.manifest();
    std::string failure;
    if (ran && now.allSegmentsScanned()) {
        result.status = "complete";
    } else if (!environment.hasFailed() && environment.stopRequested()) {
        result.status = "stopped";
        result.error = "stopped on request; resume with --resume " + std::to_string(manifest.jobId);
    } else {
        result.status = "failed";
        failure = environment.hasFailed() ? environment.getFailure() : "not every segment was scanned to its end";
        result.error = "backup of " + where(options) + " failed: " + failure + "; see " + result.jobDirectory +
                       "/backup.log, fix the cause and resume with --resume " + std::to_string(manifest.jobId);
    }
    if (!environment.finish(result.status, failure)) {
        result.status = "failed";
        result.error = "cannot commit the manifest of job " + std::to_string(manifest.jobId) + " in " +
                       result.jobDirectory + "; the job does not count as complete";
    }
    result.manifest = environment.manifest();
    return result;
}
