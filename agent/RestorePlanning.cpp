// Restore planning: which backup jobs make up a point in time, and the
// table's entries and meta-data in the backup index.

#include <algorithm>

#include "agent/DynamoDBTESK.h"
#include "restore/AwsDynamoDBPathDecoder.h"

CZoError DynamoDBUtil::getJobListByAppId(unsigned long toTime, std::vector<long long>& jobIds, int64_t& earlierJobId,
                                         std::vector<ArchiveFileRecord>& archFiles,
                                         std::map<long long, unsigned long>& jobLevels, unsigned long appId,
                                         unsigned long domainId) {
    const char* function = "getJobListByAppId";
    earlierJobId = 0;
    if (appId == 0) appId = static_cast<unsigned long>(applicationId);
    if (appId == 0) return CZO_ERROR(1627, "No app id has been provided");
    if (domainId == 0) domainId = static_cast<unsigned long>(vardaId);
    if (domainId == 0) domainId = 2;

    std::vector<int64_t> jobs;
    const int listed = ArMgrClientAPI::getJobListByAppId(appId, jobs);
    if (listed > 1) {
        debug.log(-1, function, "Failed to get job ids for AppId[%lu]. getJobListByAppId error [%d].", appId, listed);
        return CZO_ERROR(1627, "Error obtaining jobs for app id %lu", appId);
    }
    if (listed == 1 || jobs.empty()) {
        debug.log(-1, function, "Found no job ids for AppId[%lu]. getJobListByAppId returned [%d], %d job ids.", appId,
                  listed, static_cast<int>(jobs.size()));
        return CZoError();
    }
    debug.log(2, function, "Found [%d] jobs for appId %lu vardaId %lu.", static_cast<int>(jobs.size()), appId, domainId);
    const int filesResult = ArMgrClientAPI::getArchFileListForJobList(domainId, jobs, {2}, archFiles);
    if (filesResult != 0 || archFiles.empty()) {
        debug.log(-1, function,
                  "Failed to get archive file details or there are no index archive files for given jobs. "
                  "getArchFileListForJobList error [%d]",
                  filesResult);
        return CZO_ERROR(1627, "Failed to get archive file details or there are no index archive files for given jobs");
    }
    debug.log(2, function, "Found [%d] index archive files for [%d] jobs.", static_cast<int>(archFiles.size()),
              static_cast<int>(jobs.size()));
    std::stable_sort(archFiles.begin(), archFiles.end(), [](const ArchiveFileRecord& a, const ArchiveFileRecord& b) {
        return a.creationTime < b.creationTime;
    });

    bool fullChosen = false;
    for (auto file = archFiles.rbegin(); file != archFiles.rend(); ++file) {
        const long long id = file->jobId;
        const unsigned long level = static_cast<unsigned long>(file->backupLevel);
        const unsigned long created = static_cast<unsigned long>(file->creationTime);
        jobLevels[id] = level;
        if (fullChosen) {
            earlierJobId = id;
            if (level == 1) {
                debug.log(2, function, "Earlier full backup job [%lld] with createTime %lu <= toTime %lu.", id, created, toTime);
            } else if (level == 2) {
                debug.log(2, function, "Earlier incremental backup job [%lld] with createTime %lu <= toTime %lu.", id,
                          created, toTime);
            } else {
                debug.log(0, function, "Earlier non-full backup job [%lld] with createTime %lu <= toTime %lu, backupLevel %lu.",
                          id, created, toTime, level);
                return CZO_ERROR(1627,
                                 "Earlier backup job [%lld] with createTime %lu <= toTime %lu, backupLevel %lu.  Backup "
                                 "type is not supported.",
                                 id, created, toTime, level);
            }
            break;
        }
        if (toTime != 0 && created > toTime) {
            debug.log(2, function, "Skipping job [%lld] with createTime %lu > toTime %lu, backupLevel %lu.", id, created,
                      toTime, level);
            continue;
        }
        jobIds.push_back(id);
        if (level == 1) {
            debug.log(2, function, "Full backup job [%lld] with createTime %lu <= toTime %lu.", id, created, toTime);
            fullChosen = true;
        } else if (level == 2) {
            debug.log(2, function, "Incremental backup job [%lld] with createTime %lu <= toTime %lu.", id, created, toTime);
        } else {
            debug.log(0, function, "Non-full backup job [%lld] with createTime %lu <= toTime %lu, backupLevel %lu.", id,
                      created, toTime, level);
            return CZO_ERROR(1627,
                             "Backup job [%lld] with createTime %lu <= toTime %lu, backupLevel %lu.  Backup type is not "
                             "supported.",
                             id, created, toTime, level);
        }
    }
    if (jobIds.empty()) {
        debug.log(0, function, "Found [%d] jobs for appId %lu vardaId %lu; no jobs fit the toTime constraint of %lu.",
                  static_cast<int>(jobs.size()), appId, domainId, toTime);
        return CZoError();
    }
    std::sort(jobIds.begin(), jobIds.end());
    debug.log(0, function, "Found [%d] jobs for appId %lu vardaId %lu toTime %lu, with full jobId %lld.",
              static_cast<int>(jobIds.size()), appId, domainId, toTime, jobIds.front());
    if (earlierJobId)
        debug.log(0, function, "Earlier backup found with jobId %lld type %lu.", static_cast<long long>(earlierJobId),
                  jobLevels[earlierJobId]);
    return CZoError();
}

bool DynamoDBUtil::browseIndex(const std::string& mediaAgent, const std::string& clientName, unsigned int browseOption,
                               unsigned long domainId, unsigned long appId, unsigned long timeStamp,
                               const std::string& path, std::vector<std::string>& paths,
                               std::map<int, std::string>& metadata) {
    TeskSnapUtilBase index;
    index.setCopyPrecedence(0);
    IndexBrowseRequest request;
    request.applicationId = static_cast<uint32_t>(appId);
    request.timeStamp = static_cast<uint32_t>(timeStamp);
    debug.log(0, "browseIndex", "Browse '%s' MA '%s' timeStamp %lu appId %u clientName %s vardaId %u", path.c_str(),
              mediaAgent.c_str(), timeStamp, static_cast<unsigned>(appId), clientName.c_str(),
              static_cast<unsigned>(domainId));
    std::vector<IndexBrowseResult> results;
    const int code = index.idxGetV2IndexArchFileInfo(mediaAgent, clientName, domainId, {request}, {path}, browseOption,
                                                     0x18050, 4, results);
    if (code != 0) {
        debug.log(-1, "browseIndex", "GetIndexArchFileInfo (files) failed with return code %d", code);
        return false;
    }
    // Positions count every entry of this browse, after what the vector holds.
    int position = static_cast<int>(paths.size());
    for (const auto& result : results) {
        paths.push_back(result.path);
        if (result.metadata.size() > 1) {
            debug.log(-1, "browseIndex", "Path '%s' browse returned %d meta-data items, afileId %llu jobId %llu",
                      result.path.c_str(), static_cast<int>(result.metadata.size()), 0ull, 0ull);
            return false;
        }
        if (result.metadata.size() == 1) metadata[position] = result.metadata.front();
        ++position;
    }
    return true;
}

namespace {

const char* kind(bool incremental) { return incremental ? "incremental" : "full"; }

} // namespace

bool DynamoDBUtil::browseIndexForTable(const std::string& region, const std::string& table, long long jobId,
                                       const std::string& mediaAgent, const std::string& clientName,
                                       unsigned int browseOption, unsigned long domainId, unsigned long appId,
                                       IdxMetadata::DynamoDBMetadata& metadata, bool& incremental, bool& notUnique) {
    const char* function = "browseIndexForTable";
    notUnique = false;
    std::vector<std::string> paths;
    std::map<int, std::string> found;
    auto browse = [&] {
        return browseIndex(mediaAgent, clientName, browseOption, domainId, appId, 0,
                           AwsDynamoDBPathDecoder::toPath(region, table, incremental, jobId, "/"), paths, found);
    };
    bool ok = browse();
    if (!ok || paths.size() != 1 || found.size() != 1) {
        debug.log(-1, function,
                  "Index browse for region '%s' table '%s' job %lld %s %s, returning %d paths, %d meta-data items "
                  "(trying other backup type)",
                  region.c_str(), table.c_str(), jobId, kind(incremental), ok ? "succeeded" : "failed",
                  static_cast<int>(paths.size()), static_cast<int>(found.size()));
        incremental = !incremental;
        ok = browse();
    }
    if (!ok) {
        debug.log(-1, function, "Index browse for DynamoDB meta-data failed for region '%s' table '%s' job %lld %s",
                  region.c_str(), table.c_str(), jobId, kind(incremental));
        return false;
    }
    if (paths.size() != 1 || found.size() != 1) {
        debug.log(-1, function, "Index browse for region '%s' table '%s' job %lld %s returned %d paths, %d meta-data items",
                  region.c_str(), table.c_str(), jobId, kind(incremental), static_cast<int>(paths.size()),
                  static_cast<int>(found.size()));
        notUnique = true;
        return true;
    }
    if (!IdxMetadata::DynamoDBMetadata::unserialize(found.begin()->second, metadata)) {
        debug.log(-1, function,
                  "Index browse for DynamoDB meta-data failed for region '%s' table '%s' job %lld %s path '%s' XML '%s' "
                  "yielded invalid DynamoDB meta-data",
                  region.c_str(), table.c_str(), jobId, kind(incremental), paths[0].c_str(), found.begin()->second.c_str());
        return false;
    }
    return true;
}

bool DynamoDBUtil::browseIndexForJob(const std::string& region, const std::string& table, bool incremental,
                                     long long jobId, const std::string& mediaAgent, const std::string& clientName,
                                     unsigned int browseOption, unsigned long domainId, unsigned long appId,
                                     IdxMetadata::DynamoDBMetadata& metadata, bool& notUnique) {
    const char* function = "browseIndexForJob";
    notUnique = false;
    std::vector<std::string> paths;
    std::map<int, std::string> found;
    if (!browseIndex(mediaAgent, clientName, browseOption, domainId, appId, 0,
                     AwsDynamoDBPathDecoder::toPath(region, table, incremental, jobId, "/"), paths, found)) {
        debug.log(-1, function, "Index browse for DynamoDB meta-data failed for region '%s' table '%s' %s backup and job %lld",
                  region.c_str(), table.c_str(), kind(incremental), jobId);
        return false;
    }
    if (paths.size() != 1 || found.size() != 1) {
        debug.log(-1, function,
                  "Index browse for region '%s' table '%s' %s backup and job %lld returned %d paths, %d meta-data items",
                  region.c_str(), table.c_str(), kind(incremental), jobId, static_cast<int>(paths.size()),
                  static_cast<int>(found.size()));
        notUnique = true;
        return true;
    }
    if (!IdxMetadata::DynamoDBMetadata::unserialize(found.begin()->second, metadata)) {
        debug.log(-1, function,
                  "Index browse for DynamoDB meta-data failed for region '%s' table '%s' %s backup and job %lld yielded "
                  "invalid DynamoDB meta-data",
                  region.c_str(), table.c_str(), kind(incremental), jobId);
        return false;
    }
    std::vector<std::string> childPaths;
    std::map<int, IdxMetadata::DynamoDBMetadata> children;
    if (!browseIndexForChildren(region, table, incremental, jobId, mediaAgent, clientName, browseOption, domainId,
                                appId, childPaths, children)) {
        debug.log(-1, function,
                  "Children index browse for DynamoDB meta-data failed for region '%s' table '%s' %s backup and job "
                  "%lld failed",
                  region.c_str(), table.c_str(), kind(incremental), jobId);
        return true;
    }
    for (size_t i = 0; i < childPaths.size(); ++i) {
        auto child = children.find(static_cast<int>(i));
        if (child == children.end())
            debug.log(-1, function, "Child path '%s' without metadata", childPaths[i].c_str());
        else
            debug.log(-1, function, "Child path '%s' metadata '%s' description '%s'", childPaths[i].c_str(),
                      child->second.description.c_str(), child->second.extra.c_str());
    }
    return true;
}

bool DynamoDBUtil::browseIndexForShard(const std::string& region, const std::string& table, long long jobId,
                                       const std::string& shardId, const std::string& mediaAgent,
                                       const std::string& clientName, unsigned int browseOption, unsigned long domainId,
                                       unsigned long appId, IdxMetadata::DynamoDBMetadata& metadata) {
    const char* function = "browseIndexForShard";
    std::vector<std::string> paths;
    std::map<int, std::string> found;
    const std::string path = AwsDynamoDBPathDecoder::toPath(region, table, true, jobId, "/") + "/" + shardId;
    if (!browseIndex(mediaAgent, clientName, browseOption, domainId, appId, 0, path, paths, found)) {
        debug.log(-1, function, "Index browse for DynamoDB meta-data failed for region '%s' table '%s' job %lld shard '%s'",
                  region.c_str(), table.c_str(), jobId, shardId.c_str());
        return false;
    }
    if (paths.size() != 1 || found.size() != 1) {
        debug.log(-1, function,
                  "Index browse for region '%s' table '%s' job %lld shard '%s' returned %d paths, %d meta-data items",
                  region.c_str(), table.c_str(), jobId, shardId.c_str(), static_cast<int>(paths.size()),
                  static_cast<int>(found.size()));
        return false;
    }
    if (!IdxMetadata::DynamoDBMetadata::unserialize(found.begin()->second, metadata)) {
        debug.log(-1, function,
                  "Index browse for DynamoDB meta-data failed for region '%s' table '%s' job %lld shard '%s' yielded "
                  "invalid DynamoDB meta-data",
                  region.c_str(), table.c_str(), jobId, shardId.c_str());
        return false;
    }
    return true;
}

bool DynamoDBUtil::browseIndexForChildren(const std::string& region, const std::string& table, bool incremental,
                                          long long jobId, const std::string& mediaAgent, const std::string& clientName,
                                          unsigned int browseOption, unsigned long domainId, unsigned long appId,
                                          std::vector<std::string>& paths,
                                          std::map<int, IdxMetadata::DynamoDBMetadata>& children) {
    return browseIndexForChildren(AwsDynamoDBPathDecoder::toPath(region, table, incremental, jobId, "/") + "/*",
                                  mediaAgent, clientName, browseOption, domainId, appId, paths, children);
}

bool DynamoDBUtil::browseIndexForChildren(const std::string& parentPath, const std::string& mediaAgent,
                                          const std::string& clientName, unsigned int browseOption,
                                          unsigned long domainId, unsigned long appId, std::vector<std::string>& paths,
                                          std::map<int, IdxMetadata::DynamoDBMetadata>& children) {
    std::map<int, std::string> found;
    if (!browseIndex(mediaAgent, clientName, browseOption, domainId, appId, 0, parentPath, paths, found)) {
        debug.log(-1, "browseIndexForChildren", "Index browse for DynamoDB meta-data failed for parent path '%s'",
                  parentPath.c_str());
        return false;
    }
    for (const auto& entry : found) {
        IdxMetadata::DynamoDBMetadata metadata;
        if (!IdxMetadata::DynamoDBMetadata::unserialize(entry.second, metadata)) {
            // A position beyond the paths would not name a child: say so.
            const std::string child = entry.first < static_cast<int>(paths.size()) ? paths[entry.first] : "?";
            debug.log(-1, "browseIndexForChildren",
                      "Index browse for DynamoDB meta-data failed for parentPath '%s' childPath '%s'", parentPath.c_str(),
                      child.c_str());
            return false;
        }
        children[entry.first] = metadata;
    }
    return true;
}
