#include "restore/RestorePlan.h"

#include <algorithm>
#include <climits>
#include <map>

#include "text/UtcTime.h"

namespace {

using Job = BackupStore::Job;

// A chain started without a predecessor read the stream from its oldest
// record, which is at most this old.
constexpr int64_t kStreamRetentionSeconds = 24 * 3600;

// The complete jobs of one table.
struct TableJobs {
    std::vector<const Job*> all; // increasing id
    std::map<int64_t, const Job*> byId;

    const Job* find(int64_t id) const {
        auto found = byId.find(id);
        return found == byId.end() ? nullptr : found->second;
    }
};

TableJobs completeJobs(const std::vector<Job>& jobs, const std::string& region, const std::string& table) {
    TableJobs complete;
    for (const auto& job : jobs)
        if (job.manifest.table == table && job.manifest.region == region && job.manifest.status == "complete") {
            complete.all.push_back(&job);
            complete.byId[job.manifest.jobId] = &job;
        }
    std::sort(complete.all.begin(), complete.all.end(),
              [](const Job* a, const Job* b) { return a->manifest.jobId < b->manifest.jobId; });
    return complete;
}

// The second from which an incremental holds every change; LLONG_MAX when
// its predecessor is not a complete job, so nothing can be shown.
int64_t coveredFrom(const TableJobs& jobs, const BackupManifest& m) {
    if (m.previousJob > 0) {
        const Job* previous = jobs.find(m.previousJob);
        return previous && previous->manifest.incremental() ? previous->manifest.startTime : LLONG_MAX;
    }
    if (m.afterFull > 0) {
        const Job* full = jobs.find(m.afterFull);
        if (full && !full->manifest.incremental()) return std::min(full->manifest.startTime, m.startTime);
    }
    return m.startTime - kStreamRetentionSeconds;
}

// Whether the changes of `incremental` may be replayed on top of `full`: the
// full was complete when the incremental began. Stores written before that
// was recorded are judged by the times, to the second.
bool follows(const BackupManifest& incremental, const BackupManifest& full) {
    if (incremental.afterFull >= 0) return incremental.afterFull >= full.jobId;
    return incremental.startTime >= full.endTime;
}

// The incrementals, oldest first, whose changes bring `full` up to the end
// of `last`: back through the chain to one that holds every change since the
// full's scan began, and any before it that may still hold such changes.
bool chainTo(const TableJobs& jobs, const Job& full, const Job& last, std::vector<Job>& chain, std::string& broken) {
    const int64_t scanStart = full.manifest.startTime;
    std::vector<const Job*> reversed;
    const Job* walk = &last;
    bool reached = false;
    while (walk) {
        reversed.push_back(walk);
        const BackupManifest& m = walk->manifest;
        reached |= coveredFrom(jobs, m) <= scanStart;
        const Job* previous = m.previousJob > 0 ? jobs.find(m.previousJob) : nullptr;
        if (previous && !previous->manifest.incremental()) previous = nullptr;
        if (!reached && !previous) {
            broken = m.previousJob > 0
                         ? "incremental " + m.directoryName() + " continues job " + std::to_string(m.previousJob) +
                               ", which is not a complete incremental of the table"
                         : "the chain of " + last.manifest.directoryName() + " begins with " + m.directoryName() +
                               ", after " + full.manifest.directoryName() + " began";
            return false;
        }
        // Past the reach: an older incremental counts only while it may hold
        // changes made after the scan began (it read on past its own start).
        if (reached && (!previous || previous->manifest.latestChangeTime(previous->manifest.endTime) < scanStart))
            break;
        walk = previous;
        if (reversed.size() > jobs.all.size()) {
            broken = "the chain of " + last.manifest.directoryName() + " loops";
            return false;
        }
    }
    chain.clear();
    for (auto it = reversed.rbegin(); it != reversed.rend(); ++it) chain.push_back(**it);
    return true;
}

std::string restorableJobs(const TableJobs& jobs) {
    std::string list;
    for (const Job* job : jobs.all) {
        const BackupManifest& m = job->manifest;
        bool restorable = !m.incremental();
        const Job* newestFull = nullptr;
        for (const Job* full : jobs.all)
            if (m.incremental() && !full->manifest.incremental() && full->manifest.jobId < m.jobId &&
                follows(m, full->manifest))
                newestFull = full;
        std::vector<Job> chain;
        std::string broken;
        restorable |= newestFull && chainTo(jobs, *newestFull, *job, chain, broken);
        if (restorable) list += (list.empty() ? "" : ", ") + m.directoryName();
    }
    return list.empty() ? "none" : list;
}

// For each full backup, the seconds from the end of its scan up to the
// latest its chains reach: the points a restore --at can take.
std::string restorableTimes(const TableJobs& jobs) {
    std::string list;
    for (const Job* full : jobs.all) {
        if (full->manifest.incremental()) continue;
        // The newest incremental whose chain reaches back to this full.
        int64_t reach = -1;
        for (auto it = jobs.all.rbegin(); it != jobs.all.rend() && reach < 0; ++it) {
            const BackupManifest& m = (*it)->manifest;
            std::vector<Job> chain;
            std::string broken;
            if (m.incremental() && m.startTime > full->manifest.endTime && chainTo(jobs, *full, **it, chain, broken) &&
                std::all_of(chain.begin(), chain.end(), [](const Job& j) { return j.manifest.changeTimesRecorded(); }))
                reach = m.startTime - 1;
        }
        if (reach >= 0)
            list += (list.empty() ? "" : "; ") + utcText(full->manifest.endTime) + " to " + utcText(reach) + " (from " +
                    full->manifest.directoryName() + ")";
    }
    return list.empty() ? "none" : list;
}

} // namespace

bool planRestore(const BackupStore& store, const std::string& region, const std::string& table, int64_t targetJob,
                 RestorePlan& plan, std::string& error) {
    const std::string where = table + " [" + region + "]";
    std::vector<std::string> problems;
    const std::vector<Job> listed = store.listJobs(problems);
    for (const auto& job : listed)
        if (job.manifest.table == table && job.manifest.region == region && job.manifest.jobId == targetJob &&
            job.manifest.status != "complete") {
            error = "job " + std::to_string(targetJob) + " of " + where + " is " +
                    (job.interrupted ? std::string("interrupted") : job.manifest.status) + ", not a complete backup";
            return false;
        }
    const TableJobs jobs = completeJobs(listed, region, table);
    const Job* target = targetJob != 0 ? jobs.find(targetJob) : nullptr;
    if (targetJob != 0 && !target) {
        error = "no job " + std::to_string(targetJob) + " of " + where + " in the store; 'ddb-backup jobs' lists them";
        return false;
    }

    // The newest point: the newest incremental that follows the newest full,
    // or else that full alone.
    if (!target) {
        for (const Job* job : jobs.all)
            if (!job->manifest.incremental()) target = job;
        if (!target) {
            error = "no complete full backup of " + where + " in the store; a restore starts from one";
            return false;
        }
        const Job* newestFull = target;
        for (const Job* job : jobs.all)
            if (job->manifest.incremental() && job->manifest.jobId > newestFull->manifest.jobId &&
                follows(job->manifest, newestFull->manifest))
                target = job;
    }

    plan.incrementals.clear();
    plan.until = 0;
    if (!target->manifest.incremental()) {
        plan.full = *target;
        return true;
    }
    const Job* full = nullptr;
    for (const Job* job : jobs.all)
        if (!job->manifest.incremental() && job->manifest.jobId < target->manifest.jobId &&
            follows(target->manifest, job->manifest))
            full = job;
    if (!full) {
        error = "no complete full backup of " + where + " was finished when incremental " +
                target->manifest.directoryName() +
                " began, so its changes cannot be replayed on one; jobs that can be restored: " + restorableJobs(jobs);
        return false;
    }
    std::string broken;
    if (!chainTo(jobs, *full, *target, plan.incrementals, broken)) {
        error = "the incrementals of " + where + " from " + full->manifest.directoryName() + " to " +
                target->manifest.directoryName() + " are not one chain: " + broken +
                "; jobs that can be restored: " + restorableJobs(jobs);
        return false;
    }
    plan.full = *full;
    return true;
}

bool planRestoreAt(const BackupStore& store, const std::string& region, const std::string& table, int64_t at,
                   RestorePlan& plan, std::string& error) {
    const std::string where = table + " [" + region + "]";
    std::vector<std::string> problems;
    const std::vector<Job> listed = store.listJobs(problems);
    const TableJobs jobs = completeJobs(listed, region, table);
    // Newest full first: the fewer changes to replay, the better.
    std::vector<const Job*> fulls;
    for (const Job* job : jobs.all)
        if (!job->manifest.incremental() && job->manifest.endTime <= at) fulls.push_back(job);
    std::sort(fulls.begin(), fulls.end(), [](const Job* a, const Job* b) {
        return a->manifest.endTime != b->manifest.endTime ? a->manifest.endTime > b->manifest.endTime
                                                          : a->manifest.jobId > b->manifest.jobId;
    });
    // The incrementals that began after `at`, earliest first: each holds
    // every change made before it began.
    std::vector<const Job*> covering;
    for (const Job* job : jobs.all)
        if (job->manifest.incremental() && job->manifest.startTime > at) covering.push_back(job);
    std::stable_sort(covering.begin(), covering.end(),
                     [](const Job* a, const Job* b) { return a->manifest.startTime < b->manifest.startTime; });

    std::string why = fulls.empty() ? "no complete full backup of it had finished by then"
                                    : "no complete incremental chain reaches that second from a full backup";
    for (const Job* full : fulls)
        for (const Job* last : covering) {
            std::vector<Job> chain;
            std::string broken;
            if (!chainTo(jobs, *full, *last, chain, broken)) continue;
            const auto old = std::find_if(chain.begin(), chain.end(),
                                          [](const Job& job) { return !job.manifest.changeTimesRecorded(); });
            if (old != chain.end()) {
                why = "incremental " + old->manifest.directoryName() +
                      " was written before change times were recorded, so it can only be restored whole (--job)";
                continue;
            }
            plan.full = *full;
            plan.incrementals = std::move(chain);
            plan.until = at;
            return true;
        }
    error = "cannot restore " + where + " as of " + utcText(at) + ": " + why + ". Times that can be restored: " +
            restorableTimes(jobs);
    return false;
}

CoveredSpan coveredSpan(const std::vector<BackupStore::Job>& listed, const BackupStore::Job& job) {
    const BackupManifest& m = job.manifest;
    CoveredSpan span;
    if (!m.incremental()) {
        span.from = m.startTime;
        span.until = m.endTime;
        span.known = true;
        return span;
    }
    const TableJobs jobs = completeJobs(listed, m.region, m.table);
    span.from = coveredFrom(jobs, m);
    span.until = m.startTime;
    span.known = span.from != LLONG_MAX;
    return span;
}

std::vector<int64_t> jobsRestoringFrom(const std::vector<Job>& listed, const std::string& region,
                                       const std::string& table, const std::vector<int64_t>& fulls) {
    const TableJobs jobs = completeJobs(listed, region, table);
    std::vector<int64_t> needed(fulls);
    auto kept = [&fulls](int64_t id) { return std::find(fulls.begin(), fulls.end(), id) != fulls.end(); };
    for (const Job* job : jobs.all) {
        if (!job->manifest.incremental()) continue;
        // The full a restore of this incremental starts from, as planRestore picks it.
        const Job* full = nullptr;
        for (const Job* candidate : jobs.all)
            if (!candidate->manifest.incremental() && candidate->manifest.jobId < job->manifest.jobId &&
                follows(job->manifest, candidate->manifest))
                full = candidate;
        if (!full || !kept(full->manifest.jobId)) continue;
        needed.push_back(job->manifest.jobId);
        std::vector<Job> chain;
        std::string broken;
        if (!chainTo(jobs, *full, *job, chain, broken) || chain.empty()) continue;
        for (const auto& link : chain) needed.push_back(link.manifest.jobId);
        // Where the first link's changes begin is read from its predecessor:
        // without it the chain could not be shown to reach the full.
        const int64_t before = chain.front().manifest.previousJob;
        if (before > 0 && jobs.find(before)) needed.push_back(before);
    }
    std::sort(needed.begin(), needed.end());
    needed.erase(std::unique(needed.begin(), needed.end()), needed.end());
    return needed;
}
