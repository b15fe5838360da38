#include <cstdio>

#include "cli/Arguments.h"
#include "cli/Commands.h"
#include "cli/Progress.h"
#include "store/BackupStore.h"
#include "text/UtcTime.h"
#include "restore/RestorePlan.h"

namespace {

const char* kJobsHelp =
    "usage: ddb-backup jobs --store DIR\n"
    "\n"
    "Lists the backup jobs in a store: table, region, level, job id, the span of\n"
    "time it covers, status, items and bytes. A full backup covers its scan: FROM\n"
    "its start, UNTIL its end, and can be restored from UNTIL on. An incremental\n"
    "holds every change made FROM where its chain stood UNTIL it began; restore\n"
    "--at takes any second its chain covers. A job whose process ended without\n"
    "finishing it is shown as interrupted; resume it with\n"
    "'ddb-backup backup --resume JOB'.\n"
    "\n"
    "  --store DIR   the backup store (required)\n";

} // namespace

int jobsCommand(int argc, char** argv) {
    Arguments arguments;
    std::string error;
    if (!arguments.parse(argc, argv, 2, {"store"}, {"help"}, error)) {
        std::fprintf(stderr, "ddb-backup jobs: %s\n\n%s", error.c_str(), kJobsHelp);
        return 2;
    }
    if (arguments.has("help")) {
        std::fputs(kJobsHelp, stdout);
        return 0;
    }
    if (!arguments.has("store")) {
        std::fprintf(stderr, "ddb-backup jobs: --store is required\n\n%s", kJobsHelp);
        return 2;
    }
    BackupStore store(arguments.get("store"));
    std::vector<std::string> problems;
    auto jobs = store.listJobs(problems);
    std::printf("%-32s %-16s %-5s %6s %-20s %-20s %-11s %10s %10s\n", "TABLE", "REGION", "LEVEL", "JOB", "FROM",
                "UNTIL", "STATUS", "ITEMS", "BYTES");
    for (const auto& job : jobs) {
        const BackupManifest& m = job.manifest;
        std::string from = utcText(m.startTime), until = "-";
        if (m.status == "complete") {
            const CoveredSpan span = coveredSpan(jobs, job);
            if (span.known) {
                from = utcText(span.from);
                until = utcText(span.until);
            } else {
                from = "(chain broken)";
                until = utcText(span.until);
            }
        }
        std::printf("%-32s %-16s %-5s %6lld %-20s %-20s %-11s %10llu %10s\n", m.table.c_str(), m.region.c_str(),
                    m.incremental() ? "incr" : "full", static_cast<long long>(m.jobId), from.c_str(), until.c_str(),
                    job.interrupted ? "interrupted" : m.status.c_str(), static_cast<unsigned long long>(m.totalLines()),
                    humanBytes(static_cast<double>(m.totalBytes())).c_str());
        // Why a job failed, a broken incremental chain above all, stays in view.
        if (m.status == "failed" && !m.failure.empty()) std::printf("    %s: %s\n", m.directoryName().c_str(), m.failure.c_str());
    }
    for (const auto& problem : problems) std::fprintf(stderr, "ddb-backup jobs: unreadable job: %s\n", problem.c_str());
    return problems.empty() ? 0 : 1;
}
