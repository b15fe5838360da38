#include "backup/BackupJob.h"

#include <vector>

#include "backup/AwsDynamoDBFullBackupRunner.h"
#include "backup/AwsDynamoDBIncrementalBackupRunner.h"
#include "dynamodb/AwsDynamoDBService.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "store/BackupStore.h"
#include "store/ChunkCodec.h"
#include "store/StoreReadEnvironment.h"

namespace {

std::string where(const BackupJobOptions& options) { return options.table + " [" + options.region + "]"; }

// Global-table replicas for the description; a failure to list them must not
// fail the backup, so it runs on a scratch environment.
GlobalTableMap globalTablesFor(const BackupJobOptions& options, TeskEnvironment& jobEnvironment) {
    GlobalTableMap globals;
    auto log = std::make_shared<MemoryLogSink>();
    TeskPrototypeEnvironment scratch("global tables", log, options.clock);
    AmazonCredentials credentials = options.credentials;
    AwsDynamoDBService service(credentials, scratch);
    if (!service.listGlobalTables(globals))
        jobEnvironment.log("runBackupJob", "could not list global tables (" + scratch.getFailure() +
                                               "); the description will not name replica regions");
    return globals;
}

// The manifest a job starts from: a new job, or the one to resume.
bool prepareManifest(const BackupJobOptions& options, BackupStore& store, BackupManifest& manifest,
                     std::string& error) {
    if (options.resumeJob > 0) {
        BackupStore::Job job;
        if (!store.findJob(options.resumeJob, job, error)) {
            error += "; 'ddb-backup jobs' lists the jobs you can resume";
            return false;
        }
        manifest = job.manifest;
        const std::string id = std::to_string(options.resumeJob);
        if (manifest.table != options.table || manifest.region != options.region) {
            error = "job " + id + " backs up " + manifest.table + " [" + manifest.region + "], not " + where(options);
            return false;
        }
        if (manifest.incremental()) {
            error = "job " + id + " is an incremental: incrementals are not resumed; a new incremental continues "
                    "from the last complete one";
            return false;
        }
        if (manifest.status == "complete") {
            error = "job " + id + " of " + where(options) + " is already complete; start a new backup instead";
            return false;
        }
        if (options.compressionLevel > 0 && manifest.codec.empty()) {
            error = "job " + id + " stores its chunks uncompressed; resume it without --compress";
            return false;
        }
        return true;
    }
    manifest.table = options.table;
    manifest.region = options.region;
    manifest.level = options.incremental ? "incremental" : "full";
    manifest.segmentCount = options.incremental ? 0 : options.segments;
    if (options.compressionLevel > 0) manifest.codec = kZstdCodec;
    manifest.startTime = options.clock->now();
    return store.allocateJobId(manifest.jobId, error);
}

// Runs the full backup runner; true when every segment was scanned to its end.
bool runFull(const BackupJobOptions& options, StoreEnvironment& environment, const BackupManifest& manifest,
             GlobalTableMap& globals, std::string& capacityWarning) {
    // Segments scanned to their end stay as they are; the others go on from
    // where they were last recorded (or from their start).
    std::vector<std::string> restarts(manifest.segmentCount);
    std::set<int> segments;
    for (unsigned i = 0; i < manifest.segmentCount; ++i) {
        auto recorded = manifest.segments.find(static_cast<int>(i));
        const bool closed = recorded != manifest.segments.end() && recorded->second.closed;
        // A segment closed, or recorded as far as a page, goes on from its key.
        if (recorded != manifest.segments.end()) restarts[i] = recorded->second.restart;
        if (!(closed && recorded->second.restart.empty())) segments.insert(static_cast<int>(i) + 1);
    }
    if (options.resumeJob > 0)
        environment.log("runBackupJob", "resuming job " + std::to_string(manifest.jobId) + ": " +
                                            std::to_string(segments.size()) + " of " +
                                            std::to_string(manifest.segmentCount) + " segments left");
    AwsDynamoDBFullBackupRunner runner(options.credentials, environment);
    const bool ran =
        runner.execute(options.table, globals, options.readCapacity, manifest.segmentCount, &restarts, &segments);
    capacityWarning = runner.getCapacityWarning();
    return ran && environment.manifest().allSegmentsScanned();
}

// DynamoDB keeps stream records for 24 hours.
constexpr int64_t kStreamRetentionSeconds = 24 * 3600;

// Runs the incremental runner. It continues the chain of the newest complete
// incremental when that one belongs to the newest full backup's chain (it
// began after the full did: job ids increase with start); otherwise it starts a new chain from the
// newest full, reading every shard from its oldest record. A chain cut by
// lost stream records thus mends with the next full backup.
bool runIncremental(const BackupJobOptions& options, BackupStore& store, StoreEnvironment& environment,
                    GlobalTableMap& globals) {
    std::shared_ptr<TeskInput> previous;
    BackupStore::Job last, full;
    const bool haveFull = store.lastCompleteFull(options.region, options.table, full);
    const bool haveIncremental = store.lastCompleteIncremental(options.region, options.table, last);
    environment.setAfterFull(haveFull ? full.manifest.jobId : 0);
    if (haveIncremental && (!haveFull || last.manifest.jobId > full.manifest.jobId)) {
        // Read as a restore reads it: checked against the job's manifest, so
        // that an edited shard tree cannot move the chain's positions.
        StoreReadEnvironment reader(last, environment.logSink(), &environment.clock());
        previous = reader.openMetadataInput();
        if (!previous) {
            const std::string message = "cannot use " + last.directory + "/metadata.json of the previous incremental" +
                                        (reader.hasFailed() ? ": " + reader.getFailure() : std::string());
            environment.log("runBackupJob", message);
            environment.setFailure(message);
            return false;
        }
        environment.setPreviousJob(last.manifest.jobId);
        environment.log("runBackupJob", "continuing from incremental job " + std::to_string(last.manifest.jobId));
    } else if (haveFull) {
        // The chain must hold every change since the full began; the stream
        // holds only the last 24 hours.
        const int64_t age = environment.manifest().startTime - full.manifest.startTime;
        if (age > kStreamRetentionSeconds) {
            const std::string message =
                "incremental backup of " + where(options) + " cannot hold every change since full job " +
                std::to_string(full.manifest.jobId) + " began " + std::to_string(age / 3600) +
                " hours ago: the stream keeps records for 24 hours. Take a new full backup; "
                "the next incremental then starts a new chain from it";
            environment.log("runBackupJob", message);
            environment.setFailure(message);
            return false;
        }
        environment.log("runBackupJob", "starting a new chain from full job " + std::to_string(full.manifest.jobId) +
                                            ": every shard is read from its oldest record");
    } else {
        environment.log("runBackupJob", "no earlier backup of " + where(options) +
                                            " in this store: every shard is read from its oldest record");
    }
    AwsDynamoDBIncrementalBackupRunner runner(options.credentials, environment);
    if (!previous && haveFull) runner.requireStreamSince(full.manifest.startTime);
    return runner.execute(options.table, globals, previous.get(), options.threads);
}

} // namespace

BackupJobResult runBackupJob(const BackupJobOptions& options) {
    BackupJobResult result;
    for (const auto& check : {BackupStore::checkComponent(options.table, "table name"),
                              BackupStore::checkComponent(options.region, "region")}) {
        if (!check.empty()) {
            result.error = check;
            return result;
        }
    }
    BackupStore store = options.backend ? BackupStore(options.backend) : BackupStore(options.storeRoot);
    std::string error = store.open();
    if (!error.empty()) {
        result.error = "cannot use the store: " + error;
        return result;
    }
    BackupManifest manifest;
    if (!prepareManifest(options, store, manifest, error)) {
        result.error = error;
        return result;
    }
    result.jobId = manifest.jobId;
    result.jobDirectory = store.jobDirectory(manifest);

    std::string lockError;
    auto lock = store.lockJob(manifest, lockError);
    if (!lock) {
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

    auto sink = store.openJobLog(manifest, options.logToStderr);
    StoreEnvironment environment(store, manifest, sink, options.clock, options.chunkSize, options.stopFlag,
                                 options.compressionLevel);
    if (options.onStart) options.onStart(environment);
    GlobalTableMap globals = globalTablesFor(options, environment);
    const bool done = manifest.incremental() ? runIncremental(options, store, environment, globals)
                                             : runFull(options, environment, manifest, globals,
                                                       result.capacityWarning);
    if (options.onScanEnd) options.onScanEnd();

    std::string failure;
    const std::string id = std::to_string(manifest.jobId);
    // A full backup stopped after its last page is whole; an incremental
    // stopped early may not have caught up with its start time.
    const bool stopped = environment.stopRequested();
    if (done && !environment.hasFailed() && !(stopped && manifest.incremental())) {
        result.status = "complete";
    } else if (!environment.hasFailed() && stopped) {
        result.status = "stopped";
        result.error = manifest.incremental()
                           ? "stopped on request; the next incremental starts again from the last complete one"
                           : "stopped on request; resume with --resume " + id;
    } else {
        result.status = "failed";
        failure = environment.hasFailed() ? environment.getFailure() : "not every segment was scanned to its end";
        result.error = "backup of " + where(options) + " failed: " + failure + "; see " + result.jobDirectory +
                       "/backup.log" +
                       (manifest.incremental() ? std::string(", fix the cause and run the incremental again")
                                               : ", fix the cause and resume with --resume " + id);
    }
    if (!environment.finish(result.status, failure)) {
        result.status = "failed";
        result.error = "cannot commit the manifest of job " + id + " in " + result.jobDirectory +
                       "; the job does not count as complete";
    }
    result.manifest = environment.manifest();
    return result;
}
