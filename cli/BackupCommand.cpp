#include <fnmatch.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "backup/BackupJob.h"
#include "cli/CommonOptions.h"
#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/StopSignals.h"
#include "cli/StoreAccess.h"
#include "dynamodb/AwsDynamoDBService.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "store/ChunkCodec.h"

namespace {

struct BackupArgs {
    std::vector<std::string> tables;
    std::string matching;
    std::vector<std::string> excludes;
    std::string store;
    unsigned segments = 4;
    bool incremental = false;
    unsigned threads = 0;
    int64_t readCapacity = 0;
    int64_t resume = 0;
    uint64_t chunkSize = StoreEnvironment::kDefaultChunkSize;
    uint64_t partSize = 0;
    unsigned parallelTables = 1;
    std::string compress;
    AwsOptions aws;
    Verbosity verbosity;
};

std::mutex outputMutex; // whole lines on stderr and stdout while tables run at once

// The tables to back up: those named, and those ListTables gives that match
// the pattern, less the excluded ones, each once, in the order named.
bool chooseTables(const BackupArgs& args, const AmazonCredentials& credentials, std::vector<std::string>& tables) {
    std::vector<std::string> candidates = args.tables;
    if (!args.matching.empty()) {
        AmazonCredentials copy = credentials;
        TeskPrototypeEnvironment lister("list tables", std::make_shared<StreamLogSink>(args.verbosity.verbose));
        AwsDynamoDBService service(copy, lister);
        std::vector<std::string> all;
        if (!service.listTables(all)) {
            std::fprintf(stderr, "ddb-backup backup: cannot list the tables of %s: %s\n", credentials.region.c_str(),
                         lister.getFailure().c_str());
            return false;
        }
        for (const auto& name : all)
            if (::fnmatch(args.matching.c_str(), name.c_str(), 0) == 0) candidates.push_back(name);
    }
    std::set<std::string> seen;
    for (const auto& name : candidates) {
        bool excluded = false;
        for (const auto& pattern : args.excludes) excluded = excluded || ::fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
        if (!excluded && seen.insert(name).second) tables.push_back(name);
    }
    if (tables.empty()) {
        std::fprintf(stderr, "ddb-backup backup: no table to back up in %s%s\n", credentials.region.c_str(),
                     args.matching.empty() ? "" : (": none matches " + args.matching + " and is not excluded").c_str());
        return false;
    }
    return true;
}

struct TableOutcome {
    std::string table;
    BackupJobResult result;
};

TableOutcome backUpOne(const BackupArgs& args, const std::shared_ptr<StoreBackend>& backend, const std::string& table,
                       const std::string& region, const AmazonCredentials& credentials, bool showProgress) {
    BackupJobOptions options;
    options.table = table;
    options.region = region;
    options.storeRoot = args.store;
    options.backend = backend;
    options.incremental = args.incremental;
    options.segments = args.segments;
    options.threads = args.threads;
    options.readCapacity = args.readCapacity;
    options.resumeJob = args.resume;
    options.chunkSize = args.chunkSize;
    std::string ignored; // --compress was checked before any table started
    if (!args.compress.empty()) parseCompression(args.compress, options.compressionLevel, ignored);
    options.logToStderr = args.verbosity.verbose;
    options.stopFlag = &stopRequested();
    options.credentials = credentials;
    const std::string label = table + " [" + region + "]";
    const bool quiet = args.verbosity.quiet;
    std::unique_ptr<Progress> progress;
    options.onStart = [&](StoreEnvironment& environment) {
        const BackupManifest manifest = environment.manifest();
        if (!quiet) {
            std::lock_guard<std::mutex> guard(outputMutex);
            if (manifest.incremental())
                std::fprintf(stderr, "ddb-backup: %s: starting incremental job I%lld into %s\n", label.c_str(),
                             static_cast<long long>(manifest.jobId), environment.jobDirectory().c_str());
            else
                std::fprintf(stderr, "ddb-backup: %s: %s job F%lld, %u segments, into %s\n", label.c_str(),
                             args.resume ? "resuming" : "starting", static_cast<long long>(manifest.jobId),
                             manifest.segmentCount, environment.jobDirectory().c_str());
        }
        if (showProgress)
            progress = std::make_unique<Progress>(label, describeBackup(environment, manifest.segmentCount), &stopRequested());
    };
    options.onScanEnd = [&] {
        if (progress) progress->finish();
    };
    TableOutcome outcome{table, runBackupJob(options)};
    return outcome;
}

// One line per table, and what to do about the ones that did not complete.
void summarise(const TableOutcome& outcome, const std::string& region, double seconds, bool quiet) {
    const BackupJobResult& result = outcome.result;
    const std::string label = outcome.table + " [" + region + "]";
    std::lock_guard<std::mutex> guard(outputMutex);
    if (result.status.empty()) {
        std::fprintf(stderr, "ddb-backup backup: %s: %s\n", label.c_str(), result.error.c_str());
        return;
    }
    const std::string job = result.manifest.directoryName();
    if (!quiet || result.status != "complete")
        std::fprintf(stderr, "ddb-backup: %s: job %s %s in %.1f s, holds %llu %s, %s in %s\n", label.c_str(), job.c_str(),
                     result.status.c_str(), seconds, static_cast<unsigned long long>(result.manifest.totalLines()),
                     result.manifest.incremental() ? "changes" : "items",
                     humanBytes(static_cast<double>(result.manifest.totalBytes())).c_str(), result.jobDirectory.c_str());
    if (result.status == "complete" && !result.capacityWarning.empty())
        std::fprintf(stderr, "ddb-backup backup: %s: the backup is complete, but %s\n", label.c_str(),
                     result.capacityWarning.c_str());
    if (result.status != "complete") std::fprintf(stderr, "ddb-backup backup: %s\n", result.error.c_str());
}

int runBackup(BackupArgs args) {
    for (const auto& table : args.tables)
        if (!isTableName(table)) {
            std::fprintf(stderr, "ddb-backup backup: '%s' is not a DynamoDB table name (3 to 255 letters, digits, "
                                 "'_', '-', '.')\n", table.c_str());
            return kExitUsage;
        }
    if (args.tables.empty() && args.matching.empty()) {
        std::fprintf(stderr, "ddb-backup backup: name the tables with --table or --tables-matching\n");
        return kExitUsage;
    }
    int level = 0;
    std::string problem;
    if (!args.compress.empty() && !parseCompression(args.compress, level, problem)) {
        std::fprintf(stderr, "ddb-backup backup: --compress: %s\n", problem.c_str());
        return kExitUsage;
    }
    if (args.resume > 0 && (args.tables.size() != 1 || !args.matching.empty())) {
        std::fprintf(stderr, "ddb-backup backup: --resume continues one job: name exactly one --table\n");
        return kExitUsage;
    }
    std::string region;
    AmazonCredentials credentials;
    if (!resolveAws("backup", args.aws, args.verbosity, region, credentials)) return kExitUsage;
    std::vector<std::string> tables;
    if (!chooseTables(args, credentials, tables)) return args.matching.empty() ? kExitFailed : kExitUsage;
    const std::shared_ptr<StoreBackend> backend =
        openStore("backup", args.store, args.aws, args.verbosity, false, args.partSize);
    if (!backend) return kExitUsage;

    catchStopSignals("\nddb-backup: stopping after the current page of each segment (again to abort)\n");
    const unsigned parallel = std::min<unsigned>(args.parallelTables, static_cast<unsigned>(tables.size()));
    const bool showProgress = parallel == 1 && !args.verbosity.quiet;
    std::vector<TableOutcome> outcomes(tables.size());
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next++) < tables.size();) {
            if (stopRequested()) {
                outcomes[i].table = tables[i];
                outcomes[i].result.error = "not started: the run was stopped";
                continue;
            }
            const auto started = std::chrono::steady_clock::now();
            outcomes[i] = backUpOne(args, backend, tables[i], region, credentials, showProgress);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            summarise(outcomes[i], region, seconds, args.verbosity.quiet);
        }
    };
    std::vector<std::thread> workers;
    for (unsigned i = 1; i < parallel; ++i) workers.emplace_back(worker);
    worker();
    for (auto& thread : workers) thread.join();

    // Job ids on stdout, for scripts; everything else went to stderr.
    bool failed = false, stopped = false, capacity = false;
    std::string failedTables;
    for (const auto& outcome : outcomes) {
        const BackupJobResult& result = outcome.result;
        if (result.status == "complete") {
            std::printf("%lld\n", static_cast<long long>(result.jobId));
            capacity = capacity || !result.capacityWarning.empty();
        } else if (result.status == "stopped") {
            stopped = true;
        } else {
            failed = true;
            failedTables += (failedTables.empty() ? "" : ", ") + outcome.table;
        }
    }
    std::fflush(stdout);
    if (failed) {
        if (tables.size() > 1) std::fprintf(stderr, "ddb-backup backup: failed: %s\n", failedTables.c_str());
        return kExitFailed;
    }
    if (stopped) return kExitStopped;
    return capacity ? kExitCapacityLeft : kExitOk;
}

} // namespace

void addBackupCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<BackupArgs>();
    CLI::App* command = app.add_subcommand("backup", "back up tables into a backup store");
    command->footer(
        "Backs up every item of each table into a backup store with a parallel, segmented\n"
        "scan, one JSON line per item; each table is its own job. Ctrl-C (SIGINT) or SIGTERM\n"
        "stops each segment after its current page and records where it stopped; --resume\n"
        "then finishes the job as if it had never stopped.\n"
        "\n"
        "With --incremental, saves the changes recorded in each table's stream (which must\n"
        "carry new images) since the last complete incremental in the store, one line per\n"
        "change, and the shard tree with each shard's resume point.\n"
        "\n"
        "Prints the ids of the jobs that completed on stdout; progress and logs go to stderr.\n"
        "Exit status: 0 complete, 1 a table failed (named), 2 usage or configuration,\n"
        "3 stopped (resumable), 4 complete but a read capacity was not put back.");
    command->add_option("--table", args->tables, "a table to back up; repeat it, or separate names with commas")
        ->delimiter(',');
    command->add_option("--tables-matching", args->matching, "back up every table whose name matches this glob");
    command->add_option("--exclude", args->excludes, "leave out the tables matching this glob (repeatable)");
    addStoreOption(*command, args->store, "the backup store (created if missing)");
    auto* incremental = command->add_flag("--incremental", args->incremental,
                                          "back up the stream's changes instead of every item");
    command->add_option("--segments", args->segments, "parallel scan segments, 1 to 1000 (default 4)")
        ->check(CLI::Range(1, 1000))
        ->excludes(incremental);
    command->add_option("--threads", args->threads, "incremental: shards read at once (default: all of them)")
        ->check(CLI::Range(1, 1000))
        ->needs(incremental);
    command->add_option("--read-capacity", args->readCapacity,
                        "raise a provisioned table's read capacity to N during the scan, then put it back")
        ->check(CLI::Range(int64_t(0), int64_t(40000000)))
        ->excludes(incremental);
    command->add_option("--resume", args->resume, "continue a stopped, failed or interrupted full job")
        ->check(CLI::PositiveNumber)
        ->excludes(incremental);
    command->add_option("--chunk-size", args->chunkSize, "size at which a stream of lines starts a new chunk "
                                                         "(default 16777216)")
        ->check(CLI::Range(uint64_t(1024), uint64_t(1) << 40));
    command->add_option("--part-size", args->partSize,
                        "S3 stores: the size of a multipart upload's parts, from 5 MiB (the default) to 5 GiB; "
                        "each segment holds one in memory")
        ->check(CLI::Range(uint64_t(5) << 20, uint64_t(5) << 30));
    command->add_option("--compress", args->compress,
                        "compress each chunk with zstd (zstd, or zstd:LEVEL from 1 to 19; zstd is level 3)");
    command->add_option("--parallel-tables", args->parallelTables, "tables backed up at once (default 1)")
        ->check(CLI::Range(1, 64));
    addAwsOptions(*command, args->aws);
    addVerbosityOptions(*command, args->verbosity);
    command->callback([args, &status] { status = runBackup(*args); });
}
