#pragma once
// The backup store: the layout our host keeps backups in (FORMAT.md),
// written against a StoreBackend (a local directory by default).
//   <region>/<table>/F<job>/manifest.json      the job's commit record
//   <region>/<table>/F<job>/description.json   the table's description
//   <region>/<table>/F<job>/<scan>/<chunk>      item lines; scan = segment + 1
//   <region>/<table>/I<job>/metadata.json      an incremental's shard tree
//   <region>/<table>/I<job>/<shard id>/<chunk>  an incremental's change lines
// Job ids are unique and increasing within a store. Keys are built only
// from checked components, so no table or region name can leave the store.
// Thread safety: the manifest operations may be called from any thread;
// allocateJobId serialises processes through the store's lock.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/BackupManifest.h"
#include "store/StoreBackend.h"

class BackupStore {
public:
    // The store in a local directory.
    explicit BackupStore(std::string root);
    explicit BackupStore(std::shared_ptr<StoreBackend> backend);

    // Empty when `value` is usable as one key component, else why not.
    static std::string checkComponent(const std::string& value, const std::string& what);

    // Creates the store if needed. Empty on success, else why not.
    std::string open();
    // Where the store is, for messages.
    std::string root() const { return backend_->where(""); }
    StoreBackend& backend() const { return *backend_; }

    static std::string jobKey(const BackupManifest& manifest);
    // Where a job, or a full job's segment, is: a path for a local store.
    std::string jobDirectory(const std::string& region, const std::string& table, int64_t jobId) const;
    std::string jobDirectory(const BackupManifest& manifest) const;
    std::string segmentDirectory(const std::string& region, const std::string& table, int64_t jobId,
                                 int segmentIndex) const;
    // The key (or path) of chunk `chunk` of the stream at `stream`.
    static std::string chunkPath(const std::string& stream, int chunk);

    // The job id a folder name ("F<job>" or "I<job>") gives; 0 when it is none.
    static int64_t jobIdOfFolder(const std::string& name);
    // The next job id, above every job in the store and every id handed out.
    bool allocateJobId(int64_t& jobId, std::string& error);
    // Writes the manifest only over the version it was read from or last
    // saved as (none for a new job), and records the new one in it: a job
    // another writer has taken over, or committed, is never overwritten.
    bool saveManifest(BackupManifest& manifest, std::string& error) const;
    // Holds the job for this process while it runs; null when another holds it.
    std::unique_ptr<StoreLock> lockJob(const BackupManifest& manifest, std::string& error);
    // The job's log (backup.log), and on stderr when asked.
    std::shared_ptr<LogSink> openJobLog(const BackupManifest& manifest, bool alsoToStderr);

    struct Job {
        BackupManifest manifest;
        std::string key;       // of the job's folder
        std::string directory; // where it is, for messages (a path for a local store)
        std::shared_ptr<StoreBackend> backend;
        // The manifest says running but no process holds the job: it was cut short.
        bool interrupted = false;
        // Reads one of the job's files (description.json, metadata.json, ...).
        bool readFile(const std::string& name, std::string& text, std::string& error) const;
        // This job with its store known: one built by hand, without a
        // backend, is taken to be the local directory it names.
        Job resolved() const;
    };
    // Every job whose manifest reads; unreadable manifests are named in `problems`.
    std::vector<Job> listJobs(std::vector<std::string>& problems) const;
    bool findJob(int64_t jobId, Job& job, std::string& error) const;
    // The newest complete incremental, or full backup, of a table, if any.
    bool lastCompleteIncremental(const std::string& region, const std::string& table, Job& job) const;
    bool lastCompleteFull(const std::string& region, const std::string& table, Job& job) const;

    // Job folders without a manifest that no process holds: left by a job
    // that never began writing, or by a removal cut short.
    std::vector<std::string> abandonedJobKeys() const;
    // Removes the job folder at `key`: its manifest first, made durable, so
    // that a removal cut short never leaves a job that claims to be whole
    // with chunks missing; then everything else. Refused while a process
    // holds the job.
    bool removeJob(const std::string& key, std::string& error);
    // The objects in a complete job's folder that its manifest does not
    // name: chunks of a write cut short, leftovers of a failed clean-up.
    // Readers ignore them; prune removes them, in this order (a folder after
    // what it holds). Empty when the folder cannot be listed whole, so that
    // nothing is taken for a stray by mistake.
    std::vector<std::string> strayKeys(const Job& job) const;

private:
    bool lastComplete(const std::string& region, const std::string& table, bool incremental, Job& job) const;
    std::shared_ptr<StoreBackend> backend_;
};
