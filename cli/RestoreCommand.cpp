#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <memory>

#include "aws/AwsRequestService.h"
#include "cli/Arguments.h"
#include "cli/CommandLineCredentials.h"
#include "cli/Progress.h"
#include "cli/Commands.h"
#include "store/BackupVerifier.h"
#include "store/StoreReadEnvironment.h"
#include "text/UtcTime.h"
#include "restore/AwsDynamoDBRestoreRunner.h"
#include "restore/RestorePlan.h"

namespace {

const char* kRestoreHelpHead =
    "usage: ddb-backup restore --store DIR --table T [--region R] [options]\n"
    "\n"
    "Restores a table from the backup store: the newest complete full backup that\n"
    "had finished by the chosen job or time, then the incrementals of its chain that\n"
    "hold every change since that full began, up to that job or time.\n"
    "Every chunk is verified before anything is written. The destination is created\n"
    "from the backed-up description unless it exists.\n"
    "\n"
    "  --store DIR          the backup store (required)\n"
    "  --table T            the backed-up table (required)\n"
    "  --region R           its region (default: AWS_REGION, then AWS_DEFAULT_REGION)\n"
    "  --job ID             restore to this job (default: the newest complete one)\n"
    "  --at TIME            restore the table as it was at this second: ISO 8601\n"
    "                       with Z or an offset, e.g. 2026-12-09T14:30:00Z; 'jobs'\n"
    "                       shows the times each job covers\n"
    "  --to TABLE           the destination table (default: the backed-up table)\n"
    "  --to-region R        the destination region (default: the backed-up region)\n"
    "  --overwrite          delete and re-create a destination that exists\n"
    "  --use-existing       write into a destination that exists, as it is\n"
    "  --write-capacity N   raise the destination's write capacity to N while\n"
    "                       writing, and put it back afterwards\n"
    "  --threads N          segments and shards written at once (default 4)\n"
    "  --role-arn ARN       assume this role through STS, signed with the instance\n"
    "                       profile's credentials\n"
    "  --verbose            copy the restore log to stderr\n";
const char* kRestoreHelpTail =
    "\n"
    "Exit status: 0 restored, 1 failed, 2 usage error.\n";

std::string restoreHelp() { return std::string(kRestoreHelpHead) + kTransportOptionsHelp + kRestoreHelpTail; }

int usage(const std::string& error) {
    std::fprintf(stderr, "ddb-backup restore: %s\n\n%s", error.c_str(), restoreHelp().c_str());
    return 2;
}

} // namespace

int restoreCommand(int argc, char** argv) {
    Arguments arguments;
    std::string error;
    if (!arguments.parse(argc, argv, 2,
                         {"store", "table", "region", "job", "at", "to", "to-region", "write-capacity", "threads", "role-arn",
                          kTransportOptionNames[0], kTransportOptionNames[1], kTransportOptionNames[2]},
                         {"help", "verbose", "overwrite", "use-existing"}, error))
        return usage(error);
    if (arguments.has("help")) {
        std::fputs(restoreHelp().c_str(), stdout);
        return 0;
    }
    if (!applyTransportOptions(arguments, error)) return usage(error);
    int64_t job = 0, writeCapacity = 0, threads = 0;
    if (!arguments.getNumber("job", 0, 1, INT64_MAX, job, error) ||
        !arguments.getNumber("write-capacity", 0, 0, 40000000, writeCapacity, error) ||
        !arguments.getNumber("threads", 4, 1, 1000, threads, error))
        return usage(error);
    int64_t at = 0;
    if (arguments.has("at")) {
        if (arguments.has("job")) return usage("--job and --at exclude each other");
        if (!parseUtcTime(arguments.get("at"), at, error)) return usage("--at: " + error);
    }
    const std::string table = arguments.get("table");
    const std::string region = regionFrom(arguments);
    if (!arguments.has("store")) return usage("--store is required");
    if (table.empty()) return usage("--table is required");
    if (region.empty()) return usage("no region: give --region or set AWS_REGION");
    if (arguments.has("overwrite") && arguments.has("use-existing"))
        return usage("--overwrite and --use-existing exclude each other");
    const std::string destination = arguments.get("to", table);
    const std::string destinationRegion = arguments.get("to-region", region);
    const std::string display = destination + " [" + destinationRegion + "]";

    BackupStore store(arguments.get("store"));
    RestorePlan plan;
    if (arguments.has("at") ? !planRestoreAt(store, region, table, at, plan, error)
                            : !planRestore(store, region, table, job, plan, error)) {
        std::fprintf(stderr, "ddb-backup restore: %s\n", error.c_str());
        return 1;
    }
    std::string jobs = plan.full.manifest.directoryName();
    for (const auto& incremental : plan.incrementals) jobs += ", " + incremental.manifest.directoryName();
    std::fprintf(stderr, "ddb-backup: restoring %s [%s] into %s from %s%s\n", table.c_str(), region.c_str(),
                 display.c_str(), jobs.c_str(),
                 plan.until > 0 ? (", changes up to " + utcText(plan.until)).c_str() : "");

    // Nothing is written from a backup that does not read back whole.
    std::vector<const BackupStore::Job*> all = {&plan.full};
    for (const auto& incremental : plan.incrementals) all.push_back(&incremental);
    for (const BackupStore::Job* chosen : all) {
        VerifyReport report = verifyJob(*chosen);
        for (const auto& warning : report.warnings) std::fprintf(stderr, "ddb-backup restore: warning: %s\n", warning.c_str());
        if (!report.ok()) {
            std::fprintf(stderr, "ddb-backup restore: %s is damaged, nothing was restored:\n",
                         chosen->directory.c_str());
            for (const auto& problem : report.problems) std::fprintf(stderr, "  %s\n", problem.c_str());
            return 1;
        }
    }

    AmazonCredentials credentials;
    if (!credentialsFrom(arguments, destinationRegion, credentials, error)) return usage(error);
    auto sink = std::make_shared<StreamLogSink>(arguments.has("verbose"),
                                                plan.full.directory + "/../restore.log");
    TeskEnvironment environment("restore " + destination, sink);
    if (!AwsRequestService::handleIAMRole(environment, credentials)) {
        std::fprintf(stderr,
                     "ddb-backup restore: no usable AWS credentials for %s: set AWS_ACCESS_KEY_ID and "
                     "AWS_SECRET_ACCESS_KEY, or run on EC2 with an instance profile\n",
                     display.c_str());
        return 1;
    }

    const auto started = std::chrono::steady_clock::now();
    std::atomic<uint64_t> replayed{0};
    uint64_t total = 0;
    StoreReadEnvironment full(plan.full, sink);
    full.countLinesInto(&replayed);
    total += plan.full.manifest.totalLines();
    std::list<std::unique_ptr<StoreReadEnvironment>> held;
    std::list<TeskEnvironment*> incrementals;
    for (const auto& incremental : plan.incrementals) {
        held.push_back(std::make_unique<StoreReadEnvironment>(incremental, sink));
        held.back()->countLinesInto(&replayed);
        held.back()->replayChangesUntil(plan.until);
        incrementals.push_back(held.back().get());
        total += incremental.manifest.totalLines();
    }
    Progress progress(display, [&replayed, total](double seconds) {
        const uint64_t done = replayed.load();
        return std::to_string(done) + " of " + std::to_string(total) + " lines replayed (" +
               std::to_string(total ? done * 100 / total : 100) + "%), " + rate(static_cast<double>(done), seconds) +
               " lines/s";
    });
    AwsDynamoDBRestoreRunner runner(credentials, environment);
    const bool ok = runner.execute(arguments.has("overwrite"), destination, &full, incrementals, writeCapacity,
                                   static_cast<unsigned>(threads), arguments.has("use-existing"));
    progress.finish();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::string failure = environment.getFailure();
    for (const auto& source : held)
        if (failure.empty()) failure = source->getFailure();
    if (failure.empty()) failure = full.getFailure();
    if (!ok) {
        std::fprintf(stderr, "ddb-backup restore: restore of %s failed: %s; see %s/../restore.log\n", display.c_str(),
                     failure.empty() ? "see the log" : failure.c_str(), plan.full.directory.c_str());
        return 1;
    }
    uint64_t changes = 0;
    for (const auto& incremental : plan.incrementals) changes += incremental.manifest.totalLines();
    std::fprintf(stderr, "ddb-backup: restored %s into %s in %.1f s: %llu items from %s, %llu changes from %zu incrementals\n",
                 table.c_str(), display.c_str(), seconds, static_cast<unsigned long long>(plan.full.manifest.totalLines()),
                 plan.full.manifest.directoryName().c_str(), static_cast<unsigned long long>(changes),
                 plan.incrementals.size());
    if (!runner.getCapacityWarning().empty()) {
        std::fprintf(stderr, "ddb-backup restore: the restore is complete, but %s\n", runner.getCapacityWarning().c_str());
        return 4;
    }
    return 0;
}
