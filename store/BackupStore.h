#pragma once
// The backup store: a directory tree our host keeps backups in.
//   <root>/<region>/<table>/F<job>/manifest.json      the job's commit record
//   <root>/<region>/<table>/F<job>/description.json   the table's description
//   <root>/<region>/<table>/F<job>/<scan>/<chunk>      item lines; scan = segment + 1
//   <root>/<region>/<table>/I<job>/metadata.json      an incremental's shard tree
//   <root>/<region>/<table>/I<job>/<shard id>/<chunk>  an incremental's change lines
// Job ids are unique and increasing within a store. Paths are built only
// from checked components, so no table or region name can leave the store.
// Thread safety: the manifest operations may be called from any thread;
// allocateJobId serialises processes through a lock file.

#include <cstdint>
#include <string>
#include <vector>

#include "store/BackupManifest.h"

class BackupStore {
public:
    explicit BackupStore(std::string root);

    // Empty when `value` is usable as one path component, else why not.
    static std::string checkComponent(const std::string& value, const std::string& what);

    // Creates the root if needed. Empty on success, else why not.
    std::string open();
    const std::string& root() const { return root_; }

    std::string jobDirectory(const std::string& region, const std::string& table, int64_t jobId) const;
    std::string jobDirectory(const BackupManifest& manifest) const;
    std::string segmentDirectory(const std::string& region, const std::string& table, int64_t jobId,
                                 int segmentIndex) const;
    static std::string chunkPath(const std::string& segmentDirectory, int chunk);

    // The next job id, above every job in the store and every id handed out.
    bool allocateJobId(int64_t& jobId, std::string& error);
    bool saveManifest(const BackupManifest& manifest, std::string& error) const;

    struct Job {
        BackupManifest manifest;
        std::string directory;
        // The manifest says running but no process holds the job: it was cut short.
        bool interrupted = false;
    };
    // Every job whose manifest reads; unreadable manifests are named in `problems`.
    std::vector<Job> listJobs(std::vector<std::string>& problems) const;
    bool findJob(int64_t jobId, Job& job, std::string& error) const;
    // The newest complete incremental, or full backup, of a table, if any.
    bool lastCompleteIncremental(const std::string& region, const std::string& table, Job& job) const;
    bool lastCompleteFull(const std::string& region, const std::string& table, Job& job) const;

private:
    bool lastComplete(const std::string& region, const std::string& table, bool incremental, Job& job) const;
    std::string root_;
};

// Holds a job for one process: taken before a job runs, released at exit.
class JobLock {
public:
    JobLock() = default;
    ~JobLock();
    JobLock(const JobLock&) = delete;
    JobLock& operator=(const JobLock&) = delete;
    // False when another process holds the job.
    bool acquire(const std::string& jobDirectory);
    // True when some process holds the job now.
    static bool isHeld(const std::string& jobDirectory);

private:
    int fd_ = -1;
};
