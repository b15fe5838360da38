#pragma once
// The host's archive manager and backup index, as our host keeps them: each
// application's backups are the jobs of one backup store.
//   - The archive manager lists an application's jobs and, per job, one
//     index archive file with the job's backup level (1 full, 2
//     incremental) and creation time (the job's start time). Only complete
//     jobs are in the index.
//   - The index browse answers paths of the backup path grammar:
//     "/region/table/F<job>" (or I<job>) gives the job with its meta-data,
//     "/region/table/I<job>/<shard>" the shard, and a last component "*" the
//     children of the path before it. A job's meta-data is the serialised
//     DynamoDBMetadata holding its description.json and, for an
//     incremental, its metadata.json; a shard's holds its saved state.
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

// Which store holds an application's backups.
class HostIndex {
public:
    static void registerApplication(uint64_t applicationId, const std::string& storeRoot);
    static void forgetApplication(uint64_t applicationId);
    static bool storeOf(uint64_t applicationId, std::string& storeRoot);
};
