#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <memory>

#include "aws/CredentialChain.h"
#include "cli/CommonOptions.h"
#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/StopSignals.h"
#include "cli/StoreAccess.h"
#include "restore/AwsDynamoDBRestoreRunner.h"
#include "restore/RestorePlan.h"
#include "store/BackupVerifier.h"
#include "store/StoreReadEnvironment.h"
#include "text/UtcTime.h"

namespace {

struct RestoreArgs {
    std::string store, table, at, to, toRegion;
    int64_t job = 0;
    int64_t writeCapacity = 0;
    unsigned threads = 4;
    bool overwrite = false, useExisting = false;
    AwsOptions aws;
    Verbosity verbosity;
};

int runRestore(const RestoreArgs& args) {
    std::string error;
    int64_t at = 0;
    if (!args.at.empty() && !parseUtcTime(args.at, at, error)) {
        std::fprintf(stderr, "ddb-backup restore: --at: %s\n", error.c_str());
        return kExitUsage;
    }
    auto backend = openStore("restore", args.store, args.aws, args.verbosity, true);
    if (!backend) return kExitUsage;
    // The source's region names where in the store it is; the destination's
    // credentials are resolved for the destination region.
    std::string region = args.aws.region;
    if (region.empty()) {
        TeskEnvironment lookup("region", std::make_shared<StreamLogSink>(false));
        CredentialOptions chain;
        chain.profile = args.aws.profile;
        if (!resolveRegion(lookup, "", chosenProfile(chain), region, error)) {
            std::fprintf(stderr, "ddb-backup restore: %s\n", error.c_str());
            return kExitUsage;
        }
    }
    const std::string table = args.table;
    const std::string destination = args.to.empty() ? table : args.to;
    const std::string destinationRegion = args.toRegion.empty() ? region : args.toRegion;
    const std::string display = destination + " [" + destinationRegion + "]";
    const bool quiet = args.verbosity.quiet;

    BackupStore store(backend);
    RestorePlan plan;
    if (!args.at.empty() ? !planRestoreAt(store, region, table, at, plan, error)
                         : !planRestore(store, region, table, args.job, plan, error)) {
        std::fprintf(stderr, "ddb-backup restore: %s\n", error.c_str());
        return kExitFailed;
    }
    std::string jobs = plan.full.manifest.directoryName();
    for (const auto& incremental : plan.incrementals) jobs += ", " + incremental.manifest.directoryName();
    if (!quiet)
        std::fprintf(stderr, "ddb-backup: restoring %s [%s] into %s from %s%s\n", table.c_str(), region.c_str(),
                     display.c_str(), jobs.c_str(),
                     plan.until > 0 ? (", changes up to " + utcText(plan.until)).c_str() : "");

    // Nothing is written from a backup that does not read back whole.
    std::vector<const BackupStore::Job*> all = {&plan.full};
    for (const auto& incremental : plan.incrementals) all.push_back(&incremental);
    std::atomic<uint64_t> checked{0};
    uint64_t stored = 0;
    for (const BackupStore::Job* chosen : all) stored += chosen->manifest.totalBytes();
    std::unique_ptr<Progress> checking;
    if (!quiet)
        checking = std::make_unique<Progress>(display, describeBytes("checking the backup before writing:", checked, stored));
    std::vector<std::string> warnings;
    for (const BackupStore::Job* chosen : all) {
        VerifyReport report = verifyJob(*chosen, VerifyDepth::Integrity, &checked);
        warnings.insert(warnings.end(), report.warnings.begin(), report.warnings.end());
        if (!report.ok()) {
            if (checking) checking->finish();
            std::fprintf(stderr, "ddb-backup restore: %s is damaged, nothing was restored:\n",
                         chosen->directory.c_str());
            for (const auto& problem : report.problems) std::fprintf(stderr, "  %s\n", problem.c_str());
            return kExitFailed;
        }
    }
    if (checking) checking->finish();
    checking.reset();
    if (!quiet)
        for (const auto& warning : warnings) std::fprintf(stderr, "ddb-backup restore: warning: %s\n", warning.c_str());

    AmazonCredentials credentials;
    std::string credentialRegion = destinationRegion;
    if (!resolveAws("restore", args.aws, args.verbosity, credentialRegion, credentials)) return kExitUsage;
    // Beside the table's jobs, in the store, wherever it is kept.
    const std::string logKey = plan.full.key.substr(0, plan.full.key.rfind('/')) + "/restore.log";
    const std::string logWhere = backend->where(logKey);
    auto sink = backend->openLog(logKey, args.verbosity.verbose);
    TeskEnvironment environment("restore " + destination, sink);

    const auto started = std::chrono::steady_clock::now();
    std::atomic<uint64_t> replayed{0};
    uint64_t total = 0;
    StoreReadEnvironment full(plan.full, sink);
    full.countLinesInto(&replayed);
    full.chunksProvenWhole();
    total += plan.full.manifest.totalLines();
    std::list<std::unique_ptr<StoreReadEnvironment>> held;
    std::list<TeskEnvironment*> incrementals;
    for (const auto& incremental : plan.incrementals) {
        held.push_back(std::make_unique<StoreReadEnvironment>(incremental, sink));
        held.back()->countLinesInto(&replayed);
        held.back()->replayChangesUntil(plan.until);
        held.back()->chunksProvenWhole();
        incrementals.push_back(held.back().get());
        total += incremental.manifest.totalLines();
    }
    // Until here nothing was written, and a signal may end the process as it
    // does by default. From here a stop lets the workers finish the batches
    // they hold and the runner put the write capacity back.
    full.stopWhen(&stopRequested());
    for (const auto& source : held) source->stopWhen(&stopRequested());
    catchStopSignals("\nddb-backup: stopping the restore after the batches in flight, then putting the write capacity "
                     "back (again to abort at once)\n");
    std::unique_ptr<Progress> progress;
    if (!quiet)
        progress = std::make_unique<Progress>(display, [&replayed, total](double seconds) {
        const uint64_t done = replayed.load();
        return std::to_string(done) + " of " + std::to_string(total) + " lines replayed (" +
               std::to_string(total ? done * 100 / total : 100) + "%), " + rate(static_cast<double>(done), seconds) +
               " lines/s";
        }, &stopRequested());
    AwsDynamoDBRestoreRunner runner(credentials, environment);
    const bool ok = runner.execute(args.overwrite, destination, &full, incrementals, args.writeCapacity, args.threads,
                                   args.useExisting);
    if (progress) progress->finish();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::string failure = environment.getFailure();
    for (const auto& source : held)
        if (failure.empty()) failure = source->getFailure();
    if (failure.empty()) failure = full.getFailure();
    if (!ok && stopRequested() && (failure.empty() || failure.rfind(StoreReadEnvironment::kStoppedText, 0) == 0)) {
        std::fprintf(stderr,
                     "ddb-backup restore: restore of %s stopped by request after %llu of %llu lines: the table holds "
                     "part of the backup; run the restore again, with --overwrite to start from an empty table or "
                     "--use-existing to replay it all over what is there; see %s\n",
                     display.c_str(), static_cast<unsigned long long>(replayed.load()),
                     static_cast<unsigned long long>(total), logWhere.c_str());
        return kExitStopped;
    }
    if (!ok) {
        std::fprintf(stderr, "ddb-backup restore: restore of %s failed: %s; see %s\n", display.c_str(),
                     failure.empty() ? "see the log" : failure.c_str(), logWhere.c_str());
        return kExitFailed;
    }
    uint64_t changes = 0;
    for (const auto& incremental : plan.incrementals) changes += incremental.manifest.totalLines();
    if (!quiet)
        std::fprintf(stderr, "ddb-backup: restored %s into %s in %.1f s: %llu items from %s, %llu changes from %zu incremental%s\n",
                 table.c_str(), display.c_str(), seconds, static_cast<unsigned long long>(plan.full.manifest.totalLines()),
                 plan.full.manifest.directoryName().c_str(), static_cast<unsigned long long>(changes),
                 plan.incrementals.size(), plan.incrementals.size() == 1 ? "" : "s");
    if (!runner.getCapacityWarning().empty()) {
        std::fprintf(stderr, "ddb-backup restore: the restore is complete, but %s\n", runner.getCapacityWarning().c_str());
        return kExitCapacityLeft;
    }
    return kExitOk;
}

} // namespace

void addRestoreCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<RestoreArgs>();
    CLI::App* command = app.add_subcommand("restore", "restore a table from a backup store");
    command->footer(
        "Restores a table from the backup store: the newest complete full backup that had\n"
        "finished by the chosen job or time, then the incrementals of its chain that hold\n"
        "every change since that full began, up to that job or time. Every chunk is\n"
        "verified before anything is written. The destination is created from the\n"
        "backed-up description unless it exists. Ctrl-C (SIGINT) or SIGTERM stops the\n"
        "replay after the batches in flight and puts the write capacity back; a second\n"
        "one aborts.");
    addStoreOption(*command, args->store, "the backup store");
    command->add_option("--table", args->table, "the backed-up table")->required();
    auto* job = command->add_option("--job", args->job, "restore to this job (default: the newest complete one)")
                    ->check(CLI::PositiveNumber);
    command->add_option("--at", args->at,
                        "restore the table as it was at this second: ISO 8601 with Z or an offset, e.g. "
                        "2026-12-09T14:30:00Z; 'jobs' shows the times each job covers")
        ->excludes(job);
    command->add_option("--to", args->to, "the destination table (default: the backed-up table)");
    command->add_option("--to-region", args->toRegion, "the destination region (default: the backed-up region)");
    auto* overwrite = command->add_flag("--overwrite", args->overwrite, "delete and re-create a destination that exists");
    command->add_flag("--use-existing", args->useExisting, "write into a destination that exists, as it is")
        ->excludes(overwrite);
    command->add_option("--write-capacity", args->writeCapacity,
                        "raise the destination's write capacity to N while writing, and put it back afterwards")
        ->check(CLI::Range(int64_t(0), int64_t(40000000)));
    command->add_option("--threads", args->threads, "segments and shards written at once (default 4)")
        ->check(CLI::Range(1, 1000));
    addAwsOptions(*command, args->aws);
    addVerbosityOptions(*command, args->verbosity);
    command->callback([args, &status] { status = runRestore(*args); });
}
