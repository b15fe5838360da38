#include "management/HostIndex.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "store/BackupStore.h"
#include "management/RestoreTask.h"

namespace {

std::mutex registryMutex;
// guarded by registryMutex
std::map<uint64_t, HostIndex::Application>& applications() {
    static std::map<uint64_t, HostIndex::Application> registered;
    return registered;
}
// guarded by registryMutex: store root -> namespace, while an application uses it
std::map<std::string, int64_t>& namespaces() {
    static std::map<std::string, int64_t> numbers;
    return numbers;
}

// The complete jobs of the application's table.
std::vector<BackupStore::Job> completeJobs(const HostIndex::Application& application) {
    std::vector<std::string> problems;
    std::vector<BackupStore::Job> jobs;
    for (auto& job : BackupStore(application.storeRoot).listJobs(problems))
        if (job.manifest.status == "complete" && job.manifest.region == application.region &&
            job.manifest.table == application.table)
            jobs.push_back(std::move(job));
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

// Frees the namespace of `root` once no application names it. Caller holds registryMutex.
static void releaseNamespaceLocked(const std::string& root) {
    for (const auto& entry : applications())
        if (entry.second.storeRoot == root) return;
    namespaces().erase(root);
}

void HostIndex::registerApplication(uint64_t applicationId, const Application& application) {
    std::lock_guard<std::mutex> guard(registryMutex);
    auto previous = applications().find(applicationId);
    const std::string before = previous == applications().end() ? application.storeRoot : previous->second.storeRoot;
    applications()[applicationId] = application;
    if (before != application.storeRoot) releaseNamespaceLocked(before);
    auto& numbers = namespaces();
    if (numbers.count(application.storeRoot)) return;
    std::set<int64_t> used;
    for (const auto& entry : numbers) used.insert(entry.second);
    int64_t next = 0;
    while (used.count(next)) ++next;
    numbers[application.storeRoot] = next;
}

void HostIndex::forgetApplication(uint64_t applicationId) {
    std::lock_guard<std::mutex> guard(registryMutex);
    auto found = applications().find(applicationId);
    if (found == applications().end()) return;
    const std::string root = found->second.storeRoot;
    applications().erase(found);
    releaseNamespaceLocked(root);
}

bool HostIndex::applicationOf(uint64_t applicationId, Application& application) {
    std::lock_guard<std::mutex> guard(registryMutex);
    auto found = applications().find(applicationId);
    if (found == applications().end()) return false;
    application = found->second;
    return true;
}

int64_t HostIndex::hostJobId(const std::string& storeRoot, int64_t jobId) {
    std::lock_guard<std::mutex> guard(registryMutex);
    auto found = namespaces().find(storeRoot);
    return found == namespaces().end() ? -1 : found->second * kJobsPerStore + jobId;
}

bool HostIndex::resolveJob(int64_t hostJobId, std::string& storeRoot, int64_t& jobId) {
    if (hostJobId <= 0) return false;
    std::lock_guard<std::mutex> guard(registryMutex);
    for (const auto& entry : namespaces()) {
        if (entry.second != hostJobId / kJobsPerStore) continue;
        storeRoot = entry.first;
        jobId = hostJobId % kJobsPerStore;
        return true;
    }
    return false;
}

int ArMgrClientAPI::getJobListByAppId(uint64_t applicationId, std::vector<int64_t>& jobIds) {
    HostIndex::Application application;
    if (!HostIndex::applicationOf(applicationId, application)) return 2;
    for (const auto& job : completeJobs(application))
        jobIds.push_back(HostIndex::hostJobId(application.storeRoot, job.manifest.jobId));
    return jobIds.empty() ? 1 : 0;
}

int ArMgrClientAPI::getArchFileListForJobList(uint64_t, const std::vector<int64_t>& jobIds,
                                              const std::vector<int>& fileTypes, std::vector<ArchiveFileRecord>& files) {
    if (fileTypes.size() != 1 || fileTypes[0] != 2) return 1;
    // Each host id names its store, so a job id two stores both hold never
    // brings one store's job into a plan of the other's. Each store is
    // listed once, whatever the number of its jobs asked for.
    std::map<std::string, std::map<int64_t, int64_t>> wanted; // store root -> its job id -> host id
    for (const int64_t hostId : jobIds) {
        std::string root;
        int64_t id = 0;
        if (HostIndex::resolveJob(hostId, root, id)) wanted[root][id] = hostId;
    }
    std::map<int64_t, ArchiveFileRecord> found;
    for (const auto& store : wanted) {
        std::vector<std::string> problems;
        for (const auto& job : BackupStore(store.first).listJobs(problems)) {
            auto asked = store.second.find(job.manifest.jobId);
            if (asked == store.second.end() || job.manifest.status != "complete") continue;
            found[asked->second] = ArchiveFileRecord{asked->second, job.manifest.incremental() ? 2u : 1u,
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
    HostIndex::Application application;
    if (!HostIndex::applicationOf(requests[0].applicationId, application)) return 2;
    const std::vector<BackupStore::Job> jobs = completeJobs(application);
    for (const auto& path : paths) {
        std::vector<std::string> parts = split(path);
        const bool children = !parts.empty() && parts.back() == "*";
        if (children) parts.pop_back();
        if (parts.size() < 3) continue;
        std::string root;
        int64_t id = 0;
        if (!HostIndex::resolveJob(BackupStore::jobIdOfFolder(parts[2]), root, id) || root != application.storeRoot) continue;
        for (const auto& job : jobs) {
            const BackupManifest& m = job.manifest;
            if (m.region != parts[0] || m.table != parts[1] || m.jobId != id || m.incremental() != (parts[2][0] == 'I'))
                continue;
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
