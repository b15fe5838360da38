#include "store/BackupStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/FileUtil.h"

namespace {

std::vector<std::string> entries(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// "F12" or "I12" -> 12; 0 when the name is not a job directory.
int64_t jobIdOf(const std::string& name) {
    if (name.size() < 2 || (name[0] != 'F' && name[0] != 'I') ||
        name.find_first_not_of("0123456789", 1) != std::string::npos)
        return 0;
    return std::strtoll(name.c_str() + 1, nullptr, 10);
}

} // namespace

BackupStore::BackupStore(std::string root) : root_(std::move(root)) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string BackupStore::checkComponent(const std::string& value, const std::string& what) {
    if (value.empty()) return what + " is empty";
    if (value == "." || value == "..") return what + " '" + value + "' is not allowed";
    if (value.size() > 255) return what + " is longer than 255 characters";
    for (unsigned char c : value)
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f)
            return what + " '" + value + "' contains a path separator or a control character";
    return "";
}

std::string BackupStore::open() { return file_util::makeDirectories(root_); }

std::string BackupStore::jobDirectory(const std::string& region, const std::string& table, int64_t jobId) const {
    return root_ + "/" + region + "/" + table + "/F" + std::to_string(jobId);
}

std::string BackupStore::jobDirectory(const BackupManifest& manifest) const {
    return root_ + "/" + manifest.region + "/" + manifest.table + "/" + manifest.directoryName();
}

std::string BackupStore::segmentDirectory(const std::string& region, const std::string& table, int64_t jobId,
                                          int segmentIndex) const {
    return jobDirectory(region, table, jobId) + "/" + std::to_string(segmentIndex + 1);
}

std::string BackupStore::chunkPath(const std::string& segmentDirectory, int chunk) {
    return segmentDirectory + "/" + std::to_string(chunk);
}

bool BackupStore::allocateJobId(int64_t& jobId, std::string& error) {
    const std::string lockPath = root_ + "/.lock";
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
        error = "cannot lock the store at " + lockPath + ": " + file_util::lastErrorText();
        if (fd >= 0) ::close(fd);
        return false;
    }
    int64_t highest = 0;
    std::string counter;
    if (file_util::readFile(root_ + "/job-counter", counter)) highest = std::strtoll(counter.c_str(), nullptr, 10);
    for (const auto& region : entries(root_))
        for (const auto& table : entries(root_ + "/" + region))
            for (const auto& job : entries(root_ + "/" + region + "/" + table))
                highest = std::max(highest, jobIdOf(job));
    jobId = highest + 1;
    error = file_util::writeAtomically(root_ + "/job-counter", std::to_string(jobId) + "\n");
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return error.empty();
}

bool BackupStore::saveManifest(const BackupManifest& manifest, std::string& error) const {
    const std::string directory = jobDirectory(manifest);
    error = file_util::makeDirectories(directory);
    if (error.empty()) error = file_util::writeAtomically(directory + "/" + BackupManifest::kFileName, manifest.toJson());
    return error.empty();
}

std::vector<BackupStore::Job> BackupStore::listJobs(std::vector<std::string>& problems) const {
    std::vector<Job> jobs;
    for (const auto& region : entries(root_)) {
        for (const auto& table : entries(root_ + "/" + region)) {
            for (const auto& name : entries(root_ + "/" + region + "/" + table)) {
                if (jobIdOf(name) == 0) continue;
                Job job;
                job.directory = root_ + "/" + region + "/" + table + "/" + name;
                const std::string path = job.directory + "/" + BackupManifest::kFileName;
                std::string text;
                std::string error;
                if (!file_util::readFile(path, text)) {
                    problems.push_back(path + ": missing (the job never started writing)");
                    continue;
                }
                if (!BackupManifest::fromJson(text, job.manifest, error)) {
                    problems.push_back(path + ": " + error);
                    continue;
                }
                job.interrupted = job.manifest.status == "running" && !JobLock::isHeld(job.directory);
                jobs.push_back(std::move(job));
            }
        }
    }
    std::sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) { return a.manifest.jobId < b.manifest.jobId; });
    return jobs;
}

bool BackupStore::findJob(int64_t jobId, Job& job, std::string& error) const {
    std::vector<std::string> problems;
    for (auto& candidate : listJobs(problems)) {
        if (candidate.manifest.jobId == jobId) {
            job = std::move(candidate);
            return true;
        }
    }
    error = "no job " + std::to_string(jobId) + " in the store at " + root_;
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

JobLock::~JobLock() {
    if (fd_ >= 0) ::close(fd_);
}

bool JobLock::acquire(const std::string& jobDirectory) {
    if (!file_util::makeDirectories(jobDirectory).empty()) return false;
    fd_ = ::open((jobDirectory + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return false;
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool JobLock::isHeld(const std::string& jobDirectory) {
    int fd = ::open((jobDirectory + "/.lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held;
}
