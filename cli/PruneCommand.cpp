// ddb-backup prune: removes what no kept restore point needs.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "cli/CommonOptions.h"
#include "cli/Commands.h"
#include "cli/JobsJson.h"
#include "cli/StoreAccess.h"
#include "restore/Retention.h"
#include "store/BackupStore.h"

namespace {

struct PruneArgs {
    std::string store;
    int64_t keepLast = -1;
    std::string keepWithin;
    std::string keepFailedWithin = "7d";
    bool dryRun = false;
    bool json = false;
    AwsOptions aws;
};

// "30d", "12h", "90m", "45s" or "2w" in seconds; -1 when not one.
int64_t durationSeconds(const std::string& text) {
    if (text.size() < 2 || text.size() > 12) return -1;
    int64_t value = 0;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
        value = value * 10 + (text[i] - '0');
    }
    switch (text.back()) {
    case 's': return value;
    case 'm': return value * 60;
    case 'h': return value * 3600;
    case 'd': return value * 86400;
    case 'w': return value * 7 * 86400;
    default: return -1;
    }
}

std::string checkDuration(const std::string& text) {
    return durationSeconds(text) < 0 ? "'" + text + "' is not a duration such as 30d, 12h, 90m or 2w" : "";
}

void writeJson(const PrunePlan& plan, const std::vector<std::string>& strays, const std::vector<std::string>& failures,
               bool dryRun) {
    rapidjson::StringBuffer buffer;
    JsonWriter writer(buffer);
    writer.StartObject();
    writer.Key("dryRun");
    writer.Bool(dryRun);
    writer.Key(dryRun ? "wouldRemove" : "removed");
    writer.StartArray();
    for (const auto& entry : plan.remove) {
        writer.StartObject();
        writer.Key("job");
        writer.Int64(entry.jobId);
        writeText(writer, "table", entry.table);
        writeText(writer, "region", entry.region);
        writeText(writer, "level", entry.level);
        writeText(writer, "status", entry.status);
        writeText(writer, "directory", entry.directory);
        writeText(writer, "reason", entry.reason);
        writer.EndObject();
    }
    writer.EndArray();
    writer.Key("kept");
    writer.StartArray();
    for (int64_t id : plan.kept) writer.Int64(id);
    writer.EndArray();
    writeStrings(writer, "strays", strays);
    writeStrings(writer, "failures", failures);
    writer.EndObject();
    std::printf("%s\n", buffer.GetString());
}

int runPrune(const PruneArgs& args) {
    auto backend = openStore("prune", args.store, args.aws, Verbosity(), true);
    if (!backend) return kExitUsage;
    RetentionRules rules;
    rules.keepLast = args.keepLast;
    rules.keepWithinSeconds = args.keepWithin.empty() ? -1 : durationSeconds(args.keepWithin);
    rules.keepFailedWithinSeconds = durationSeconds(args.keepFailedWithin);
    BackupStore store(backend);
    std::vector<std::string> problems;
    const std::vector<BackupStore::Job> jobs = store.listJobs(problems);
    PrunePlan plan = planPrune(jobs, store.abandonedJobKeys(), rules, static_cast<int64_t>(std::time(nullptr)));
    for (auto& entry : plan.remove)
        if (entry.jobId == 0) entry.directory = store.backend().where(entry.key);

    std::vector<std::string> failures;
    if (!args.dryRun)
        for (const auto& entry : plan.remove) {
            std::string error;
            if (!store.removeJob(entry.key, error)) failures.push_back(error);
        }
    // What the kept jobs' manifests do not name goes too.
    std::vector<std::string> strays;
    for (const auto& job : jobs) {
        if (std::find(plan.kept.begin(), plan.kept.end(), job.manifest.jobId) == plan.kept.end()) continue;
        for (const auto& key : store.strayKeys(job)) {
            strays.push_back(backend->where(key));
            if (!args.dryRun) backend->remove(key);
        }
    }
    if (args.json) {
        writeJson(plan, strays, failures, args.dryRun);
    } else {
        for (const auto& entry : plan.remove)
            std::printf("%s %s (%s %s): %s\n", args.dryRun ? "would remove" : "removed", entry.directory.c_str(),
                        entry.level.empty() ? "job" : entry.level.c_str(), entry.status.c_str(), entry.reason.c_str());
        for (const auto& stray : strays)
            std::printf("%s %s: no manifest names it\n", args.dryRun ? "would remove" : "removed", stray.c_str());
        std::printf("%s %zu jobs, kept %zu\n", args.dryRun ? "would remove" : "removed",
                    plan.remove.size() - failures.size(), plan.kept.size());
    }
    for (const auto& failure : failures) std::fprintf(stderr, "ddb-backup prune: %s\n", failure.c_str());
    return failures.empty() ? kExitOk : kExitFailed;
}

} // namespace

void addPruneCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<PruneArgs>();
    CLI::App* command = app.add_subcommand("prune", "remove the jobs no kept restore point needs");
    command->footer(
        "Keeps the full backups the rules name (and every newer one), each with the\n"
        "incrementals its restores replay, the newest incremental of each table (the next\n"
        "one continues from it), and always the newest full backup of a table. Without\n"
        "--keep-last or --keep-within every complete job is kept. Failed, stopped and\n"
        "interrupted jobs older than --keep-failed-within go, and so do job folders that\n"
        "never got a manifest. A job's manifest is removed first, so a prune cut short\n"
        "never leaves a job that claims to be complete with chunks missing.");
    addStoreOption(*command, args->store, "the backup store");
    addAwsOptions(*command, args->aws);
    command->add_option("--keep-last", args->keepLast, "keep the newest N full backups of each table")
        ->check(CLI::Range(int64_t(1), int64_t(1000000)));
    command->add_option("--keep-within", args->keepWithin, "keep full backups finished within DURATION (e.g. 30d)")
        ->check(checkDuration);
    command->add_option("--keep-failed-within", args->keepFailedWithin,
                        "keep failed, stopped and interrupted jobs begun within DURATION (default 7d)")
        ->check(checkDuration);
    command->add_flag("--dry-run", args->dryRun, "print what would be removed, remove nothing");
    command->add_flag("--json", args->json, "print one JSON document");
    command->callback([args, &status] { status = runPrune(*args); });
}
