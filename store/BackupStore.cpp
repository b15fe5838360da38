#include "store/BackupStore.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "store/LocalStoreBackend.h"

namespace {

// "F12" or "I12" -> 12; 0 when the name is not a job folder.

constexpr const char* kStoreLock = ".lock";
constexpr const char* kJobCounter = "job-counter";
constexpr const char* kJobLock = ".lock";

// Every job folder's key, or false with why when a listing failed: a
// partial list could make a restore take an older job for the newest.
bool jobFolders(const StoreBackend& backend, std::vector<std::string>& keys, std::string& error) {
    std::vector<std::string> regions, tables, names;
    if (!backend.listChecked("", regions, error)) return false;
    for (const auto& region : regions) {
        if (!backend.listChecked(region, tables, error)) return false;
        for (const auto& table : tables) {
            if (!backend.listChecked(region + "/" + table, names, error)) return false;
            for (const auto& name : names)
                if (BackupStore::jobIdOfFolder(name) != 0) keys.push_back(region + "/" + table + "/" + name);
        }
    }
    return true;
}

} // namespace

BackupStore::BackupStore(std::string root) : backend_(std::make_shared<LocalStoreBackend>(std::move(root))) {}

BackupStore::BackupStore(std::shared_ptr<StoreBackend> backend) : backend_(std::move(backend)) {}

std::string BackupStore::checkComponent(const std::string& value, const std::string& what) {
    if (value.empty()) return what + " is empty";
    if (value == "." || value == "..") return what + " '" + value + "' is not allowed";
    if (value.size() > 255) return what + " is longer than 255 characters";
    for (unsigned char c : value)
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f)
            return what + " '" + value + "' contains a path separator or a control character";
    return "";
}

std::string BackupStore::open() { return backend_->open(); }

std::string BackupStore::jobKey(const BackupManifest& manifest) {
    return manifest.region + "/" + manifest.table + "/" + manifest.directoryName();
}

std::string BackupStore::jobDirectory(const std::string& region, const std::string& table, int64_t jobId) const {
    return backend_->where(region + "/" + table + "/F" + std::to_string(jobId));
}

std::string BackupStore::jobDirectory(const BackupManifest& manifest) const { return backend_->where(jobKey(manifest)); }

std::string BackupStore::segmentDirectory(const std::string& region, const std::string& table, int64_t jobId,
                                          int segmentIndex) const {
    return jobDirectory(region, table, jobId) + "/" + std::to_string(segmentIndex + 1);
}

std::string BackupStore::chunkPath(const std::string& stream, int chunk) { return stream + "/" + std::to_string(chunk); }

int64_t BackupStore::jobIdOfFolder(const std::string& name) {
    if (name.size() < 2 || (name[0] != 'F' && name[0] != 'I') ||
        name.find_first_not_of("0123456789", 1) != std::string::npos)
        return 0;
    return std::strtoll(name.c_str() + 1, nullptr, 10);
}

bool BackupStore::allocateJobId(int64_t& jobId, std::string& error) {
    auto held = backend_->lock(kStoreLock, true, error);
    if (!held) {
        error = "cannot lock the store at " + root() + ": " + error;
        return false;
    }
    int64_t highest = 0;
    std::string counter, ignored;
    if (backend_->get(kJobCounter, counter, ignored)) highest = std::strtoll(counter.c_str(), nullptr, 10);
    std::vector<std::string> folders;
    if (!jobFolders(*backend_, folders, error)) {
        error = "cannot give the job an id: " + error;
        return false;
    }
    for (const auto& key : folders) highest = std::max(highest, BackupStore::jobIdOfFolder(key.substr(key.rfind('/') + 1)));
    jobId = highest + 1;
    error = backend_->put(kJobCounter, std::to_string(jobId) + "\n");
    return error.empty();
}

bool BackupStore::saveManifest(BackupManifest& manifest, std::string& error) const {
    const std::string key = jobKey(manifest) + "/" + BackupManifest::kFileName;
    error = backend_->putIfVersion(key, manifest.toJson(), manifest.storedVersion);
    if (error.rfind(StoreBackend::kChangedByAnotherWriter, 0) == 0)
        error = "job " + std::to_string(manifest.jobId) + " of " + manifest.table + " [" + manifest.region +
                "] was " + error + "; another process has taken the job over or removed it, so this one stops "
                "without touching it (see 'ddb-backup jobs')";
    return error.empty();
}

std::unique_ptr<StoreLock> BackupStore::lockJob(const BackupManifest& manifest, std::string& error) {
    return backend_->lock(jobKey(manifest) + "/" + kJobLock, false, error);
}

std::shared_ptr<LogSink> BackupStore::openJobLog(const BackupManifest& manifest, bool alsoToStderr) {
    return backend_->openLog(jobKey(manifest) + "/backup.log", alsoToStderr);
}

bool BackupStore::Job::readFile(const std::string& name, std::string& text, std::string& error) const {
    if (!backend) return resolved().readFile(name, text, error);
    return backend->get(keyJoin(key, name), text, error);
}

BackupStore::Job BackupStore::Job::resolved() const {
    Job job = *this;
    if (!job.backend) {
        job.backend = std::make_shared<LocalStoreBackend>(directory);
        job.key.clear();
    }
    return job;
}


std::vector<BackupStore::Job> BackupStore::listJobs(std::vector<std::string>& problems) const {
    std::vector<Job> jobs;
    std::vector<std::string> keys;
    std::string listError;
    if (!jobFolders(*backend_, keys, listError)) {
        problems.push_back("the store's jobs cannot be listed, so none is used: " + listError);
        return jobs;
    }
    for (const auto& key : keys) {
        Job job;
        job.key = key;
        job.directory = backend_->where(job.key);
        job.backend = backend_;
        const std::string path = job.directory + "/" + BackupManifest::kFileName;
        std::string text;
        std::string error;
        std::string version;
        if (!backend_->getVersioned(key + "/" + BackupManifest::kFileName, text, version, error)) {
            if (backend_->exists(key + "/" + BackupManifest::kFileName)) {
                // There but unreadable: the job may be the newest, so no
                // choice is made from the others.
                problems.push_back("the store's jobs cannot all be read, so none is used: " + error);
                jobs.clear();
                return jobs;
            }
            problems.push_back(path + ": missing (the job never started writing)");
            continue;
        }
        if (!BackupManifest::fromJson(text, job.manifest, error)) {
            problems.push_back(path + ": " + error);
            continue;
        }
        job.manifest.storedVersion = version;
        job.interrupted = job.manifest.status == "running" && !backend_->isLocked(job.key + "/" + kJobLock);
        jobs.push_back(std::move(job));
    }
    std::sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) { return a.manifest.jobId < b.manifest.jobId; });
    return jobs;
}

std::vector<std::string> BackupStore::abandonedJobKeys() const {
    std::vector<std::string> folders, keys;
    std::string error;
    if (!jobFolders(*backend_, folders, error)) return keys;
    for (const auto& key : folders)
        if (!backend_->exists(key + "/" + BackupManifest::kFileName) && !backend_->isLocked(key + "/" + kJobLock))
            keys.push_back(key);
    return keys;
}

namespace {

// Everything below `key`, deepest first, then `key` itself.
void removeBelow(StoreBackend& backend, const std::string& key) {
    for (const auto& name : backend.list(key)) removeBelow(backend, key + "/" + name);
    backend.remove(key);
}

} // namespace

bool BackupStore::removeJob(const std::string& key, std::string& error) {
    auto held = backend_->lock(key + "/" + kJobLock, false, error);
    if (!held) {
        error = "job " + backend_->where(key) + " is in use and was not removed: " + error;
        return false;
    }
    const std::string manifest = key + "/" + BackupManifest::kFileName;
    if (backend_->exists(manifest)) {
        backend_->remove(manifest);
        if (backend_->exists(manifest)) {
            error = "cannot remove " + backend_->where(manifest) +
                    ", or tell that it is gone; the job's other files are kept: run prune again";
            return false;
        }
        error = backend_->sync(key);
        if (!error.empty()) return false;
    }
    for (const auto& name : backend_->list(key))
        if (name != kJobLock) removeBelow(*backend_, key + "/" + name);
    held.reset();
    backend_->remove(key + "/" + kJobLock);
    backend_->remove(key);
    if (!backend_->list(key).empty()) {
        error = "the job's manifest is gone, but " + backend_->where(key) +
                " still holds files that could not be removed; remove them by hand";
        return false;
    }
    return true;
}

std::vector<std::string> BackupStore::strayKeys(const Job& job) const {
    std::vector<std::string> strays;
    const BackupManifest& m = job.manifest;
    if (m.status != "complete" || job.key.empty()) return strays;
    // The job's own files, named or not by the manifest (stores written
    // before control files were covered do not name them).
    std::set<std::string> named = {BackupManifest::kFileName, "backup.log", kJobLock, "description.json",
                                   "metadata.json"};
    for (const auto& file : m.files) named.insert(file.first);
    std::map<std::string, std::set<std::string>> streams; // folder -> chunk names
    for (const auto& segment : m.segments)
        for (const auto& chunk : segment.second.chunks)
            streams[std::to_string(segment.first + 1)].insert(std::to_string(chunk.number));
    for (const auto& shard : m.shards)
        for (const auto& chunk : shard.second.chunks) streams[shard.first].insert(std::to_string(chunk.number));
    for (const auto& segment : m.segments) streams[std::to_string(segment.first + 1)];
    for (const auto& shard : m.shards) streams[shard.first];

    std::vector<std::string> names, chunks;
    std::string error;
    if (!backend_->listChecked(job.key, names, error)) return {};
    for (const auto& name : names) {
        const std::string key = job.key + "/" + name;
        auto stream = streams.find(name);
        if (stream == streams.end()) {
            if (named.count(name)) continue;
            // An object, or a folder of a stream the manifest does not know:
            // all of it, its contents before it.
            std::vector<std::string> below;
            if (!backend_->listChecked(key, below, error)) return {};
            for (const auto& inner : below) strays.push_back(key + "/" + inner);
            strays.push_back(key);
            continue;
        }
        if (!backend_->listChecked(key, chunks, error)) return {};
        for (const auto& chunk : chunks)
            if (!stream->second.count(chunk)) strays.push_back(key + "/" + chunk);
    }
    return strays;
}

bool BackupStore::findJob(int64_t jobId, Job& job, std::string& error) const {
    std::vector<std::string> problems;
    for (auto& candidate : listJobs(problems)) {
        if (candidate.manifest.jobId == jobId) {
            job = std::move(candidate);
            return true;
        }
    }
    error = "no job " + std::to_string(jobId) + " in the store at " + root();
    return false;
}

bool BackupStore::lastCompleteIncremental(const std::string& region, const std::string& table, Job& job) const {
    return lastComplete(region, table, true, job);
}

bool BackupStore::lastCompleteFull(const std::string& region, const std::string& table, Job& job) const {
    return lastComplete(region, table, false, job);
}

bool BackupStore::lastComplete(const std::string& region, const std::string& table, bool incremental,
                               Job& job) const {
    std::vector<std::string> problems;
    bool found = false;
    for (auto& candidate : listJobs(problems)) {
        const BackupManifest& m = candidate.manifest;
        if (m.incremental() == incremental && m.status == "complete" && m.region == region && m.table == table) {
            job = std::move(candidate); // jobs come in increasing id order: the last one wins
            found = true;
        }
    }
    return found;
}
