#include <cstdio>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "cli/CommonOptions.h"
#include "cli/Commands.h"
#include "cli/JobsJson.h"
#include "cli/Progress.h"
#include "cli/StoreAccess.h"
#include "restore/RestorePlan.h"
#include "store/BackupStore.h"
#include "text/UtcTime.h"

namespace {

struct JobsArgs {
    std::string store;
    bool json = false;
    AwsOptions aws;
};

int runJobs(const JobsArgs& args) {
    auto backend = openStore("jobs", args.store, args.aws, Verbosity(), true);
    if (!backend) return kExitUsage;
    BackupStore store(backend);
    std::vector<std::string> problems;
    auto jobs = store.listJobs(problems);
    if (args.json) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        writer.StartObject();
        writer.Key("store");
        writer.String(store.root().c_str());
        writer.Key("jobs");
        writer.StartArray();
        for (const auto& job : jobs) {
            writer.StartObject();
            writeJobMembers(writer, jobs, job);
            writer.EndObject();
        }
        writer.EndArray();
        writeStrings(writer, "problems", problems);
        writer.EndObject();
        std::printf("%s\n", buffer.GetString());
        return problems.empty() ? kExitOk : kExitFailed;
    }
    std::printf("%-32s %-16s %-5s %6s %-20s %-20s %-11s %10s %10s\n", "TABLE", "REGION", "LEVEL", "JOB", "FROM",
                "UNTIL", "STATUS", "ITEMS", "BYTES");
    for (const auto& job : jobs) {
        const BackupManifest& m = job.manifest;
        std::string from = utcText(m.startTime), until = "-";
        if (m.status == "complete") {
            const CoveredSpan span = coveredSpan(jobs, job);
            from = span.known ? utcText(span.from) : "(chain broken)";
            until = utcText(span.until);
        }
        std::printf("%-32s %-16s %-5s %6lld %-20s %-20s %-11s %10llu %10s\n", m.table.c_str(), m.region.c_str(),
                    m.incremental() ? "incr" : "full", static_cast<long long>(m.jobId), from.c_str(), until.c_str(),
                    job.interrupted ? "interrupted" : m.status.c_str(), static_cast<unsigned long long>(m.totalLines()),
                    humanBytes(static_cast<double>(m.totalBytes())).c_str());
        // Why a job failed, a broken incremental chain above all, stays in view.
        if (m.status == "failed" && !m.failure.empty()) std::printf("    %s: %s\n", m.directoryName().c_str(), m.failure.c_str());
    }
    for (const auto& problem : problems) std::fprintf(stderr, "ddb-backup jobs: unreadable job: %s\n", problem.c_str());
    return problems.empty() ? kExitOk : kExitFailed;
}

} // namespace

void addJobsCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<JobsArgs>();
    CLI::App* command = app.add_subcommand("jobs", "list the jobs in a backup store");
    command->footer(
        "Lists the backup jobs in a store: table, region, level, job id, the span of time\n"
        "it covers, status, items and bytes. A full backup covers its scan: FROM its start,\n"
        "UNTIL its end, and can be restored from UNTIL on. An incremental holds every change\n"
        "made FROM where its chain stood UNTIL it began; restore --at takes any second its\n"
        "chain covers. A job whose process ended without finishing it is shown as\n"
        "interrupted; resume it with 'ddb-backup backup --resume JOB'.");
    addStoreOption(*command, args->store, "the backup store");
    addAwsOptions(*command, args->aws);
    command->add_flag("--json", args->json, "print one JSON document instead of a table");
    command->callback([args, &status] { status = runJobs(*args); });
}
