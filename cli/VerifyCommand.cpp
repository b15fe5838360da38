#include <atomic>
#include <cstdio>
#include <memory>

#include "cli/CommonOptions.h"
#include "cli/Commands.h"
#include "cli/JobsJson.h"
#include "cli/Progress.h"
#include "cli/StoreAccess.h"
#include "store/BackupVerifier.h"

namespace {

struct VerifyArgs {
    std::string store;
    int64_t job = 0;
    bool json = false;
    AwsOptions aws;
};

int runVerify(const VerifyArgs& args) {
    auto backend = openStore("verify", args.store, args.aws, Verbosity(), true);
    if (!backend) return kExitUsage;
    BackupStore store(backend);
    std::vector<BackupStore::Job> jobs, all;
    std::vector<std::string> problems;
    all = store.listJobs(problems);
    if (args.job > 0) {
        BackupStore::Job job;
        std::string error;
        if (!store.findJob(args.job, job, error)) {
            std::fprintf(stderr, "ddb-backup verify: %s; 'ddb-backup jobs --store DIR' lists the jobs\n", error.c_str());
            return kExitFailed;
        }
        jobs.push_back(std::move(job));
        problems.clear();
    } else {
        jobs = all;
    }
    bool allOk = problems.empty();
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    if (args.json) {
        writer.StartObject();
        writer.Key("store");
        writer.String(store.root().c_str());
        writer.Key("jobs");
        writer.StartArray();
    } else {
        for (const auto& problem : problems) std::printf("FAILED %s\n", problem.c_str());
        if (jobs.empty() && problems.empty()) std::printf("no jobs in the store at %s\n", store.root().c_str());
    }
    for (const auto& job : jobs) {
        const BackupManifest& m = job.manifest;
        // One display per job, ended before its result is printed.
        std::atomic<uint64_t> read{0};
        Progress progress(m.directoryName() + " " + m.table + " [" + m.region + "]",
                          describeBytes("checked", read, m.totalBytes()));
        const VerifyReport report = verifyJob(job, VerifyDepth::Lines, &read);
        progress.finish();
        allOk = allOk && report.ok();
        if (args.json) {
            writer.StartObject();
            writeJobMembers(writer, all, job);
            writer.Key("ok");
            writer.Bool(report.ok());
            writer.Key("chunks");
            writer.Uint64(report.chunks);
            writer.Key("lines");
            writer.Uint64(report.lines);
            writer.Key("checkedBytes");
            writer.Uint64(report.bytes);
            writeStrings(writer, "problems", report.problems);
            writeStrings(writer, "warnings", report.warnings);
            writer.EndObject();
            continue;
        }
        if (report.ok())
            std::printf("ok     %s %s [%s]: %llu chunks, %llu %s, %s\n", m.directoryName().c_str(), m.table.c_str(),
                        m.region.c_str(), static_cast<unsigned long long>(report.chunks),
                        static_cast<unsigned long long>(report.lines), m.incremental() ? "changes" : "items",
                        humanBytes(static_cast<double>(report.bytes)).c_str());
        else
            std::printf("FAILED %s %s [%s]\n", m.directoryName().c_str(), m.table.c_str(), m.region.c_str());
        for (const auto& warning : report.warnings) std::printf("  warning: %s\n", warning.c_str());
        for (const auto& problem : report.problems) std::printf("  %s\n", problem.c_str());
    }
    if (args.json) {
        writer.EndArray();
        writeStrings(writer, "problems", problems);
        writer.Key("ok");
        writer.Bool(allOk);
        writer.EndObject();
        std::printf("%s\n", buffer.GetString());
    }
    return allOk ? kExitOk : kExitFailed;
}

} // namespace

void addVerifyCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<VerifyArgs>();
    CLI::App* command = app.add_subcommand("verify", "re-check jobs in a backup store against their manifests");
    command->footer("Re-reads backup jobs against their manifests: every chunk's size, line count and\n"
                    "SHA-256, every line as a DynamoDB item, and the control files. Exits 1 and names\n"
                    "the file on any mismatch, and for any job that is not complete.");
    addStoreOption(*command, args->store, "the backup store");
    addAwsOptions(*command, args->aws);
    command->add_option("--job", args->job, "verify only this job (default: every job)")->check(CLI::PositiveNumber);
    command->add_flag("--json", args->json, "print one JSON document instead of lines");
    command->callback([args, &status] { status = runVerify(*args); });
}
