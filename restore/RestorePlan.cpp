#include "restore/RestorePlan.h"

bool planRestore(const BackupStore& store, const std::string& region, const std::string& table, int64_t targetJob,
                 RestorePlan& plan, std::string& error) {
    const std::string where = table + " [" + region + "]";
    std::vector<std::string> problems;
    std::vector<BackupStore::Job> complete;
    bool targetSeen = targetJob == 0;
    for (auto& job : store.listJobs(problems)) {
        const BackupManifest& m = job.manifest;
        if (m.table != table || m.region != region) continue;
        if (m.jobId == targetJob) {
            targetSeen = true;
            if (m.status != "complete") {
                error = "job " + std::to_string(targetJob) + " of " + where + " is " +
                        (job.interrupted ? std::string("interrupted") : m.status) + ", not a complete backup";
                return false;
            }
        }
        if (m.status == "complete" && (targetJob == 0 || m.jobId <= targetJob)) complete.push_back(std::move(job));
    }
    if (!targetSeen) {
        error = "no job " + std::to_string(targetJob) + " of " + where + " in the store; 'ddb-backup jobs' lists them";
        return false;
    }
    // Jobs come in increasing id order: the newest full backup is the last one.
    int fullIndex = -1;
    for (size_t i = 0; i < complete.size(); ++i)
        if (!complete[i].manifest.incremental()) fullIndex = static_cast<int>(i);
    if (fullIndex < 0) {
        error = "no complete full backup of " + where + " in the store" +
                (targetJob ? " at or before job " + std::to_string(targetJob) : std::string()) +
                "; a restore starts from one";
        return false;
    }
    plan.full = complete[static_cast<size_t>(fullIndex)];
    plan.incrementals.clear();
    for (size_t i = static_cast<size_t>(fullIndex) + 1; i < complete.size(); ++i)
        if (complete[i].manifest.incremental()) plan.incrementals.push_back(complete[i]);
    return true;
}
