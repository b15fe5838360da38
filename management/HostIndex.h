#pragma once
// The host's archive manager and backup index, as our host keeps them: an
// application is the backups of one table (region and name) in one backup
// store, and several stores may be registered at once.
//   - Job ids are the host's, unique across every registered store: a
//     store's own job id plus its namespace times kJobsPerStore. A store
//     takes the lowest namespace free when an application first names it
//     and keeps it while any application does; a store alone in the
//     registry has namespace 0, so its ids are its own. A host id means
//     nothing once its store's applications are forgotten.
//   - The archive manager lists an application's jobs (its table's only)
//     and, per job, one index archive file with the job's backup level (1
//     full, 2 incremental) and creation time (the job's start time). Only
//     complete jobs are in the index.
//   - The index browse answers paths of the backup path grammar, for the
//     application's table and store: "/region/table/F<job>" (or I<job>)
//     gives the job with its meta-data, "/region/table/I<job>/<shard>" the
//     shard, and a last component "*" the children of the path before it.
//     A job's meta-data is the serialised DynamoDBMetadata holding its
//     description.json and, for an incremental, its metadata.json; a
//     shard's holds its saved state.
// Thread safety: the registry is guarded; queries read the store afresh.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ArchiveFileRecord {
    int64_t jobId = 0;
    uint64_t backupLevel = 0;
    uint64_t creationTime = 0;
};

class ArMgrClientAPI {
public:
    // 0 with the jobs; 1 when the application has none; 2 when it is unknown.
    static int getJobListByAppId(uint64_t applicationId, std::vector<int64_t>& jobIds);
    // Index archive files (file type 2) of the jobs. 0 on success; 3 when a
    // job id is held by more than one registered store (ambiguous).
    static int getArchFileListForJobList(uint64_t vardaId, const std::vector<int64_t>& jobIds,
                                         const std::vector<int>& fileTypes, std::vector<ArchiveFileRecord>& files);
};

struct IndexBrowseRequest {
    uint32_t applicationId = 0;
    uint32_t reserved = 0;
    uint32_t timeStamp = 0;
};

struct IndexBrowseResult {
    std::string path;
    std::vector<std::string> metadata; // serialised DynamoDBMetadata texts
};

class TeskSnapUtilBase {
public:
    void setCopyPrecedence(int precedence) { copyPrecedence_ = precedence; }
    // 0 on success, with one result per index entry found under `paths`.
    int idxGetV2IndexArchFileInfo(const std::string& mediaAgent, const std::string& clientName, uint64_t vardaId,
                                  const std::vector<IndexBrowseRequest>& requests, const std::vector<std::string>& paths,
                                  unsigned int browseOption, unsigned int flags, int version,
                                  std::vector<IndexBrowseResult>& results);

private:
    int copyPrecedence_ = 0;
};

// Which table of which store an application's backups are.
class HostIndex {
public:
    static constexpr int64_t kJobsPerStore = 1000000000000LL;

    struct Application {
        std::string storeRoot;
        std::string region;
        std::string table;
    };
    static void registerApplication(uint64_t applicationId, const Application& application);
    static void forgetApplication(uint64_t applicationId);
    static bool applicationOf(uint64_t applicationId, Application& application);

    // The host's id of job `jobId` of the store at `storeRoot` (registered).
    static int64_t hostJobId(const std::string& storeRoot, int64_t jobId);
    // The store and its own job id behind a host job id; false when no
    // registered store has its namespace.
    static bool resolveJob(int64_t hostJobId, std::string& storeRoot, int64_t& jobId);
};
