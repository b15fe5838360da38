#include <cstdio>

#include "cli/Arguments.h"
#include "cli/Commands.h"
#include "cli/Progress.h"
#include "store/BackupVerifier.h"

namespace {

const char* kVerifyHelp =
    "usage: ddb-backup verify --store DIR [--job ID]\n"
    "\n"
    "Re-reads backup jobs against their manifests: every chunk's size, line count\n"
    "and SHA-256, and every line as a DynamoDB item. Exits non-zero and names the\n"
    "file on any mismatch, and for any job that is not complete.\n"
    "\n"
    "  --store DIR   the backup store (required)\n"
    "  --job ID      verify only this job (default: every job in the store)\n";

} // namespace

int verifyCommand(int argc, char** argv) {
    Arguments arguments;
    std::string error;
    int64_t jobId = 0;
    if (!arguments.parse(argc, argv, 2, {"store", "job"}, {"help"}, error) ||
        !arguments.getNumber("job", 0, 1, INT64_MAX, jobId, error)) {
        std::fprintf(stderr, "ddb-backup verify: %s\n\n%s", error.c_str(), kVerifyHelp);
        return 2;
    }
    if (arguments.has("help")) {
        std::fputs(kVerifyHelp, stdout);
        return 0;
    }
    if (!arguments.has("store")) {
        std::fprintf(stderr, "ddb-backup verify: --store is required\n\n%s", kVerifyHelp);
        return 2;
    }
    BackupStore store(arguments.get("store"));
    std::vector<BackupStore::Job> jobs;
    std::vector<std::string> problems;
    if (jobId > 0) {
        BackupStore::Job job;
        if (!store.findJob(jobId, job, error)) {
            std::fprintf(stderr, "ddb-backup verify: %s; 'ddb-backup jobs --store DIR' lists the jobs\n", error.c_str());
            return 1;
        }
        jobs.push_back(std::move(job));
    } else {
        jobs = store.listJobs(problems);
        for (const auto& problem : problems) std::fprintf(stderr, "FAILED %s\n", problem.c_str());
        if (jobs.empty() && problems.empty()) std::printf("no jobs in the store at %s\n", store.root().c_str());
    }
    bool allOk = problems.empty();
    for (const auto& job : jobs) {
        VerifyReport report = verifyJob(job);
        const BackupManifest& m = job.manifest;
        if (report.ok()) {
            std::printf("ok     %s %s [%s]: %llu chunks, %llu %s, %s\n", m.directoryName().c_str(), m.table.c_str(),
                        m.region.c_str(), static_cast<unsigned long long>(report.chunks),
                        static_cast<unsigned long long>(report.lines), m.incremental() ? "changes" : "items",
                        humanBytes(static_cast<double>(report.bytes)).c_str());
            for (const auto& warning : report.warnings) std::printf("  warning: %s\n", warning.c_str());
            continue;
        }
        allOk = false;
        std::printf("FAILED %s %s [%s]\n", m.directoryName().c_str(), m.table.c_str(), m.region.c_str());
        for (const auto& warning : report.warnings) std::printf("  warning: %s\n", warning.c_str());
        for (const auto& problem : report.problems) std::printf("  %s\n", problem.c_str());
    }
    return allOk ? 0 : 1;
}
