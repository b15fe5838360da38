#include <cstdio>
#include <ctime>

#include "cli/Arguments.h"
#include "cli/Commands.h"
#include "cli/Progress.h"
#include "host/BackupStore.h"

namespace {

const char* kJobsHelp =
    "usage: ddb-backup jobs --store DIR\n"
    "\n"
    "Lists the backup jobs in a store: table, region, level, job id, start time,\n"
    "status, items and bytes. A job whose process ended without finishing it is\n"
    "shown as interrupted; resume it with 'ddb-backup backup --resume JOB'.\n"
    "\n"
    "  --store DIR   the backup store (required)\n";

std::string utcTime(int64_t seconds) {
    time_t value = static_cast<time_t>(seconds);
    tm utc{};
    gmtime_r(&value, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

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
    std::printf("%-32s %-16s %-5s %6s %-20s %-11s %10s %10s\n", "TABLE", "REGION", "LEVEL", "JOB", "START", "STATUS",
                "ITEMS", "BYTES");
    for (const auto& job : jobs) {
        const BackupManifest& m = job.manifest;
        std::printf("%-32s %-16s %-5s %6lld %-20s %-11s %10llu %10s\n", m.table.c_str(), m.region.c_str(),
                    m.incremental() ? "incr" : "full", static_cast<long long>(m.jobId), utcTime(m.startTime).c_str(),
                    job.interrupted ? "interrupted" : m.status.c_str(), static_cast<unsigned long long>(m.totalLines()),
                    humanBytes(static_cast<double>(m.totalBytes())).c_str());
        // Why a job failed, a broken incremental chain above all, stays in view.
        if (m.status == "failed" && !m.failure.empty()) std::printf("    %s: %s\n", m.directoryName().c_str(), m.failure.c_str());
    }
    for (const auto& problem : problems) std::fprintf(stderr, "ddb-backup jobs: unreadable job: %s\n", problem.c_str());
    return problems.empty() ? 0 : 1;
}
