#include "management/HostIndex.h"

#include <algorithm>
#include <mutex>

#include "store/BackupStore.h"
#include "management/RestoreTask.h"

namespace {

std::mutex registryMutex;
std::map<uint64_t, std::string>& applications() { // guarded by registryMutex
    static std::map<uint64_t, std::string> stores;
    return stores;
}

std::vector<BackupStore::Job> completeJobs(const std::string& root) {
    std::vector<std::string> problems;
    std::vector<BackupStore::Job> jobs;
    for (auto& job : BackupStore(root).listJobs(problems))
        if (job.manifest.status == "complete") jobs.push_back(std::move(job));
    return jobs;
}

std::string jobMetadata(const BackupStore::Job& job) {
    IdxMetadata::DynamoDBMetadata metadata;
    std::string ignored;
    job.readFile("description.json", metadata.description, ignored);
    if (job.manifest.incremental()) job.readFile("metadata.json", metadata.extra, ignored);
    return metadata.serialize();
}

std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : path) {
        if (c == '/') {
            if (!current.empty()) parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) parts.push_back(current);
    return parts;
}

} // namespace

void HostIndex::registerApplication(uint64_t applicationId, const std::string& storeRoot) {
    std::lock_guard<std::mutex> guard(registryMutex);
    applications()[applicationId] = storeRoot;
}

void HostIndex::forgetApplication(uint64_t applicationId) {
    std::lock_guard<std::mutex> guard(registryMutex);
    applications().erase(applicationId);
}

bool HostIndex::storeOf(uint64_t applicationId, std::string& storeRoot) {
    std::lock_guard<std::mutex> guard(registryMutex);
    auto found = applications().find(applicationId);
    if (found == applications().end()) return false;
    storeRoot = found->second;
    return true;
}

int ArMgrClientAPI::getJobListByAppId(uint64_t applicationId, std::vector<int64_t>& jobIds) {
    std::string root;
    if (!HostIndex::storeOf(applicationId, root)) return 2;
    for (const auto& job : completeJobs(root)) jobIds.push_back(job.manifest.jobId);
    return jobIds.empty() ? 1 : 0;
}

int ArMgrClientAPI::getArchFileListForJobList(uint64_t, const std::vector<int64_t>& jobIds,
                                              const std::vector<int>& fileTypes, std::vector<ArchiveFileRecord>& files) {
    if (fileTypes.size() != 1 || fileTypes[0] != 2) return 1;
    std::vector<std::string> roots;
    {
        std::lock_guard<std::mutex> guard(registryMutex);
        for (const auto& application : applications())
            if (std::find(roots.begin(), roots.end(), application.second) == roots.end())
                roots.push_back(application.second);
    }
    // Job ids are unique within a store only: a job id that two stores hold
    // cannot be told apart here, and mixing another application's job into
    // a restore plan would restore the wrong data. Refuse instead.
    std::map<int64_t, ArchiveFileRecord> found;
    for (const auto& root : roots) {
        for (const auto& job : completeJobs(root)) {
            if (std::find(jobIds.begin(), jobIds.end(), job.manifest.jobId) == jobIds.end()) continue;
            if (found.count(job.manifest.jobId)) return 3;
            found[job.manifest.jobId] = ArchiveFileRecord{job.manifest.jobId, job.manifest.incremental() ? 2u : 1u,
                                                          static_cast<uint64_t>(job.manifest.startTime)};
        }
    }
    for (const auto& entry : found) files.push_back(entry.second);
    return 0;
}

int TeskSnapUtilBase::idxGetV2IndexArchFileInfo(const std::string&, const std::string&, uint64_t,
                                                const std::vector<IndexBrowseRequest>& requests,
                                                const std::vector<std::string>& paths, unsigned int, unsigned int, int,
                                                std::vector<IndexBrowseResult>& results) {
    if (requests.empty()) return 1;
    std::string root;
    if (!HostIndex::storeOf(requests[0].applicationId, root)) return 2;
    const std::vector<BackupStore::Job> jobs = completeJobs(root);
    for (const auto& path : paths) {
        std::vector<std::string> parts = split(path);
        const bool children = !parts.empty() && parts.back() == "*";
        if (children) parts.pop_back();
        if (parts.size() < 3) continue;
        for (const auto& job : jobs) {
            const BackupManifest& m = job.manifest;
            if (m.region != parts[0] || m.table != parts[1] || m.directoryName() != parts[2]) continue;
            const std::string jobPath = "/" + parts[0] + "/" + parts[1] + "/" + parts[2];
            if (parts.size() == 3 && !children) {
                results.push_back(IndexBrowseResult{jobPath, {jobMetadata(job)}});
            } else if (parts.size() == 3) {
                for (const auto& segment : m.segments)
                    results.push_back(IndexBrowseResult{jobPath + "/" + std::to_string(segment.first + 1), {}});
                for (const auto& shard : m.shards)
                    results.push_back(IndexBrowseResult{jobPath + "/" + shard.first,
                                                        {IdxMetadata::DynamoDBMetadata{"", shard.second.state}.serialize()}});
            } else if (parts.size() == 4 && !children) {
                auto shard = m.shards.find(parts[3]);
                if (shard != m.shards.end())
                    results.push_back(IndexBrowseResult{jobPath + "/" + parts[3],
                                                        {IdxMetadata::DynamoDBMetadata{"", shard->second.state}.serialize()}});
            }
        }
    }
    return 0;
}
