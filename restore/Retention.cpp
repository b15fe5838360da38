#include "restore/Retention.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "restore/RestorePlan.h"

namespace {

using Job = BackupStore::Job;

PruneEntry entryFor(const Job& job, std::string reason) {
    PruneEntry entry;
    entry.key = job.key;
    entry.directory = job.directory;
    entry.jobId = job.manifest.jobId;
    entry.table = job.manifest.table;
    entry.region = job.manifest.region;
    entry.level = job.manifest.level;
    entry.status = job.interrupted ? "interrupted" : job.manifest.status;
    entry.reason = std::move(reason);
    return entry;
}

std::string days(int64_t seconds) {
    return seconds % 86400 == 0 ? std::to_string(seconds / 86400) + "d" : std::to_string(seconds) + "s";
}

} // namespace

PrunePlan planPrune(const std::vector<Job>& jobs, const std::vector<std::string>& abandoned,
                    const RetentionRules& rules, int64_t now) {
    PrunePlan plan;
    std::vector<PruneEntry> fulls, incrementals, unfinished;
    std::set<int64_t> kept;
    std::map<std::pair<std::string, std::string>, std::vector<const Job*>> tables;
    for (const auto& job : jobs) {
        const BackupManifest& m = job.manifest;
        if (m.status == "complete") {
            tables[{m.region, m.table}].push_back(&job);
            continue;
        }
        const bool running = m.status == "running" && !job.interrupted;
        if (running || now - m.startTime <= rules.keepFailedWithinSeconds) {
            kept.insert(m.jobId);
            continue;
        }
        unfinished.push_back(entryFor(job, (job.interrupted ? std::string("interrupted") : m.status) +
                                               " more than " + days(rules.keepFailedWithinSeconds) + " ago"));
    }
    for (const auto& table : tables) {
        const std::vector<const Job*>& complete = table.second; // increasing id
        std::vector<const Job*> fullJobs;
        const Job* newestIncremental = nullptr;
        for (const Job* job : complete) {
            if (job->manifest.incremental())
                newestIncremental = job;
            else
                fullJobs.push_back(job);
        }
        std::vector<int64_t> keptFulls;
        const bool ruled = rules.keepLast >= 0 || rules.keepWithinSeconds >= 0;
        size_t oldestKept = fullJobs.size();
        for (size_t i = 0; i < fullJobs.size(); ++i) {
            const bool last = rules.keepLast >= 0 && fullJobs.size() - i <= static_cast<size_t>(rules.keepLast);
            const bool within = rules.keepWithinSeconds >= 0 &&
                                now - fullJobs[i]->manifest.endTime <= rules.keepWithinSeconds;
            if (!ruled || last || within) {
                oldestKept = i;
                break;
            }
        }
        // A prune never leaves a table without a full backup to restore.
        if (oldestKept == fullJobs.size() && !fullJobs.empty()) oldestKept = fullJobs.size() - 1;
        for (size_t i = oldestKept; i < fullJobs.size(); ++i) keptFulls.push_back(fullJobs[i]->manifest.jobId);
        std::vector<int64_t> needed = jobsRestoringFrom(jobs, table.first.first, table.first.second, keptFulls);
        if (newestIncremental) needed.push_back(newestIncremental->manifest.jobId);
        for (const Job* job : complete) {
            const int64_t id = job->manifest.jobId;
            if (fullJobs.empty() || std::find(needed.begin(), needed.end(), id) != needed.end()) {
                kept.insert(id);
            } else if (job->manifest.incremental()) {
                incrementals.push_back(entryFor(*job, "its changes replay only onto full backups that are not kept"));
            } else {
                fulls.push_back(entryFor(*job, "older than the full backups the rules keep"));
            }
        }
    }
    for (const auto& key : abandoned) {
        PruneEntry entry;
        entry.key = key;
        entry.directory = key;
        entry.status = "uncommitted";
        entry.reason = "a job folder without a manifest, held by no process";
        unfinished.push_back(entry);
    }
    for (auto* list : {&unfinished, &incrementals, &fulls})
        plan.remove.insert(plan.remove.end(), list->begin(), list->end());
    plan.kept.assign(kept.begin(), kept.end());
    return plan;
}
