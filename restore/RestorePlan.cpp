#include "restore/RestorePlan.h"

namespace {

// Whether the changes of `incremental` may be replayed on top of `full`: the
// full was complete when the incremental began. Stores written before that
// was recorded are judged by the times, to the second.
bool follows(const BackupManifest& incremental, const BackupManifest& full) {
    if (incremental.afterFull >= 0) return incremental.afterFull >= full.jobId;
    return incremental.startTime >= full.endTime;
}

// The complete incrementals after `full` up to `last` (inclusive), if they
// form one chain: each continues the one before, the first continues one
// older than the full or starts a chain.
bool chainAfter(const std::vector<BackupStore::Job>& complete, const BackupStore::Job& full, int64_t last,
                std::vector<BackupStore::Job>& chain, std::string& broken) {
    chain.clear();
    for (const auto& job : complete) {
        const BackupManifest& m = job.manifest;
        if (!m.incremental() || m.jobId <= full.manifest.jobId || m.jobId > last) continue;
        const bool continues = chain.empty() ? (m.previousJob < full.manifest.jobId)
                                             : m.previousJob == chain.back().manifest.jobId;
        if (!continues) {
            broken = "incremental " + m.directoryName() + " does not continue " +
                     (chain.empty() ? full.manifest.directoryName() : chain.back().manifest.directoryName()) +
                     " (it continues job " + std::to_string(m.previousJob) + ")";
            return false;
        }
        chain.push_back(job);
    }
    return true;
}

std::string restorableJobs(const std::vector<BackupStore::Job>& complete) {
    std::string list;
    for (const auto& job : complete) {
        const BackupManifest& m = job.manifest;
        bool restorable = !m.incremental();
        for (const auto& full : complete)
            restorable |= m.incremental() && !full.manifest.incremental() && full.manifest.jobId < m.jobId &&
                          follows(m, full.manifest);
        if (restorable) list += (list.empty() ? "" : ", ") + m.directoryName();
    }
    return list.empty() ? "none" : list;
}

} // namespace

bool planRestore(const BackupStore& store, const std::string& region, const std::string& table, int64_t targetJob,
                 RestorePlan& plan, std::string& error) {
    const std::string where = table + " [" + region + "]";
    std::vector<std::string> problems;
    std::vector<BackupStore::Job> complete; // in increasing id order
    const BackupStore::Job* target = nullptr;
    for (auto& job : store.listJobs(problems)) {
        const BackupManifest& m = job.manifest;
        if (m.table != table || m.region != region) continue;
        if (m.jobId == targetJob && m.status != "complete") {
            error = "job " + std::to_string(targetJob) + " of " + where + " is " +
                    (job.interrupted ? std::string("interrupted") : m.status) + ", not a complete backup";
            return false;
        }
        if (m.status == "complete") complete.push_back(std::move(job));
    }
    for (const auto& job : complete)
        if (job.manifest.jobId == targetJob) target = &job;
    if (targetJob != 0 && !target) {
        error = "no job " + std::to_string(targetJob) + " of " + where + " in the store; 'ddb-backup jobs' lists them";
        return false;
    }

    // The newest point: the newest incremental that follows the newest full,
    // or else that full alone.
    if (!target) {
        const BackupStore::Job* newestFull = nullptr;
        for (const auto& job : complete)
            if (!job.manifest.incremental()) newestFull = &job;
        if (!newestFull) {
            error = "no complete full backup of " + where + " in the store; a restore starts from one";
            return false;
        }
        target = newestFull;
        for (const auto& job : complete)
            if (job.manifest.incremental() && job.manifest.jobId > newestFull->manifest.jobId &&
                follows(job.manifest, newestFull->manifest))
                target = &job;
    }

    plan.incrementals.clear();
    if (!target->manifest.incremental()) {
        plan.full = *target;
        return true;
    }
    const BackupStore::Job* full = nullptr;
    for (const auto& job : complete)
        if (!job.manifest.incremental() && job.manifest.jobId < target->manifest.jobId &&
            follows(target->manifest, job.manifest))
            full = &job;
    if (!full) {
        error = "no complete full backup of " + where + " was finished when incremental " +
                target->manifest.directoryName() +
                " began, so its changes cannot be replayed on one; jobs that can be restored: " +
                restorableJobs(complete);
        return false;
    }
    std::string broken;
    if (!chainAfter(complete, *full, target->manifest.jobId, plan.incrementals, broken)) {
        error = "the incrementals of " + where + " from " + full->manifest.directoryName() + " to " +
                target->manifest.directoryName() + " are not one chain: " + broken +
                "; jobs that can be restored: " + restorableJobs(complete);
        return false;
    }
    plan.full = *full;
    return true;
}
