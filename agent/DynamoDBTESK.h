#pragma once
// The agent utility a host drives: configuration, job initialisation from
// the host's management data, restore planning over the backup index,
// restore options and runners, per-table state files, and parsers of the
// texts kept with backups.

#include <string>

#include <map>
#include <set>
#include <vector>

#include <ctime>
#include <memory>

#include <rapidjson/document.h>

#include "agent/DynamoDBConfig.h"
#include "management/AgentRegistry.h"
#include "aws/AmazonCredentials.h"
#include "management/HostIndex.h"
#include "management/Management.h"
#include "management/RestoreTask.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "dynamodb/TableDescription.h"
#include "management/EvDebug.h"
#include "management/CZoError.h"
#include "framework/TeskEnvironment.h"
#include "platform/Export.h"

class AwsDynamoDBRestoreRunner;

// The agent utility: its configuration, the restore entry points and
// helpers. A restore destination's keys come from its instance in the
// management data (InitializeForRestore).
class DynamoDBUtil {
public:
    // The members marked DDB_EXPORT are the module's entry points for a host.
    DDB_EXPORT explicit DynamoDBUtil(std::shared_ptr<LogSink> debugSink = nullptr);
    DDB_EXPORT DynamoDBUtil(unsigned int applicationId, unsigned int vardaId,
                            std::shared_ptr<LogSink> debugSink = nullptr);
    DDB_EXPORT ~DynamoDBUtil();
    DynamoDBUtil(const DynamoDBUtil&) = delete;
    DynamoDBUtil& operator=(const DynamoDBUtil&) = delete;

    // Restore planning: the jobs that make up the point in time `toTime`
    // (0: the newest) — the latest full backup at or before it and the
    // incrementals after it — and the table's entries in the backup index.
    DDB_EXPORT CZoError getJobListByAppId(unsigned long toTime, std::vector<long long>& jobIds, int64_t& earlierJobId,
                               std::vector<ArchiveFileRecord>& archFiles, std::map<long long, unsigned long>& jobLevels,
                               unsigned long applicationId, unsigned long vardaId);
    DDB_EXPORT bool browseIndex(const std::string& mediaAgent, const std::string& clientName, unsigned int browseOption,
                     unsigned long vardaId, unsigned long applicationId, unsigned long timeStamp,
                     const std::string& path, std::vector<std::string>& paths, std::map<int, std::string>& metadata);
    DDB_EXPORT bool browseIndexForTable(const std::string& region, const std::string& table, long long jobId,
                             const std::string& mediaAgent, const std::string& clientName, unsigned int browseOption,
                             unsigned long vardaId, unsigned long applicationId,
                             IdxMetadata::DynamoDBMetadata& metadata, bool& incremental, bool& notUnique);
    DDB_EXPORT bool browseIndexForJob(const std::string& region, const std::string& table, bool incremental, long long jobId,
                           const std::string& mediaAgent, const std::string& clientName, unsigned int browseOption,
                           unsigned long vardaId, unsigned long applicationId, IdxMetadata::DynamoDBMetadata& metadata,
                           bool& notUnique);
    DDB_EXPORT bool browseIndexForShard(const std::string& region, const std::string& table, long long jobId,
                             const std::string& shardId, const std::string& mediaAgent, const std::string& clientName,
                             unsigned int browseOption, unsigned long vardaId, unsigned long applicationId,
                             IdxMetadata::DynamoDBMetadata& metadata);
    DDB_EXPORT bool browseIndexForChildren(const std::string& region, const std::string& table, bool incremental, long long jobId,
                                const std::string& mediaAgent, const std::string& clientName,
                                unsigned int browseOption, unsigned long vardaId, unsigned long applicationId,
                                std::vector<std::string>& paths, std::map<int, IdxMetadata::DynamoDBMetadata>& children);
    DDB_EXPORT bool browseIndexForChildren(const std::string& parentPath, const std::string& mediaAgent,
                                const std::string& clientName, unsigned int browseOption, unsigned long vardaId,
                                unsigned long applicationId, std::vector<std::string>& paths,
                                std::map<int, IdxMetadata::DynamoDBMetadata>& children);

    // Job initialisation from the host's management data (0 = success).
    // `Initialize(args, …)` reads the application id "<varda>:<number>" from
    // argument "a" and uses the job id set with setJobId.
    DDB_EXPORT int Initialize(CProgramArgumentsPtr& args, bool expandContent);
    DDB_EXPORT int Initialize(unsigned long vardaId, unsigned long applicationId, int64_t jobId, bool expandContent);
    int InitFromInstanceProp(AmazonDynamoDBInstance& instance);
    int InitFromSubclientProp(ApplicationId& application, bool expandContent);
    // Credentials of a restore destination instance.
    DDB_EXPORT int InitializeForRestore(unsigned long destinationInstanceId);
    int CreateJobResultsDirectory();
    void setJobId(int64_t id) { jobId = id; }
    const std::vector<std::string>& getRegions() const { return regions; }
    const std::string& getJobResultsPath() const { return jobResultsPath; }
    const std::string& getSubclientDirectory() const { return subclientDirectory; }
    const std::string& getLocalHostNameMember() const { return localHostName; }
    int64_t getReadThroughput() const { return readThroughput; }

    // Process and host helpers.
    static int GetArgv(const char* commandLine, char**& argv);
    static void DeleteArgv(char**& argv);
    static int ExecCmd(const std::string& command, std::string& output, std::string& errors, bool flag);
    static std::string getLocalHostName();
    static void criticalEvent(TeskEnvironment& environment, const std::string& text);
    static bool GetHxClientEntityForHost(const std::string& host, HxEntities::ClientEntity& entity);
    static int setXmlDiscover() { return 0; }
    // Creates and initialises one restore runner per destination table of the
    // task's options; `metadataByTable` maps "region:table" to each source's
    // DynamoDBMetadata text.
    DDB_EXPORT CZoError ProcessRestoreOptions(EvRstTaskPtr task, const std::map<std::string, std::string>& metadataByTable,
                                   bool useExistingTable, std::string& errorText);
    // Concludes every runner (puts write capacities back) and forgets them.
    DDB_EXPORT CZoError CleanupRestore();
    const AmazonCredentials& getCredentials() const { return credentials; }
    TeskLoggingEnvironment& getEnvironment() { return environment; }
    int64_t getWriteThroughput() const { return writeThroughput; }
    // One runner per destination, keyed by (region, table): tables of one
    // name in two regions are two destinations, each concluded.
    using RunnerKey = std::pair<std::string, std::string>;
    const std::map<RunnerKey, std::shared_ptr<AwsDynamoDBRestoreRunner>>& getRestoreRunners() const {
        return restoreRunners;
    }

    DynamoDBTESK::DynamoDBConfig* getDynamoDBConfig() { return &config; }
    // Where the per-table state files live (set by CreateJobResultsDirectory
    // to the job results directory's subclient directory).
    void setSubclientDirectory(const std::string& directory) { subclientDirectory = directory; }

    // One 64-bit number per table kept between jobs. Failures are logged
    // only; names that would leave the state directory are refused.
    std::string computeTableStatePath(const std::string& region, const std::string& table) const;
    void saveTableState(const std::string& region, const std::string& table, long long value);
    long long restoreTableState(const std::string& region, const std::string& table);
    void removeTableState(const std::string& region, const std::string& table);
    bool checkStateNames(const char* function, const std::string& region, const std::string& table);
    // Replaces the first occurrence of each find[i] by replace[i], in order.
    CZoError _EditConfFileContents(const std::string& path, std::vector<std::string>& find,
                                   std::vector<std::string>& replace);
    // Lines of `separator`-joined fields, read (appended to `rows`) and
    // written; separators, backslashes and line breaks inside a field are
    // escaped, so every field reads back as written.
    bool splitLines(const std::string& path, const std::string& separator, std::vector<std::vector<std::string>>& rows);
    bool putLines(const std::string& path, const std::string& separator, const std::vector<std::vector<std::string>>& rows);
    // The root of a shard's lineage in a map from shard id to parent id.
    static CZoError getRootShard(const std::string& shardId, std::map<std::string, std::string>& shardMap,
                                 std::string& root);
    // Parsers of the texts kept with backups.
    // The shard map of a shard tree: roots, and each shard's parent.
    static void parseShardsTree(const std::string& json, std::vector<std::string>& roots,
                                std::map<std::string, std::string>& parents);
    // The description file's "table" (a JSON null when there is none).
    static std::shared_ptr<TableDescription> parseDescriptionJson(const std::string& json);
    // "Thu Sep 05 2019 10:20:30" as local time; 0 for an unknown month.
    static time_t GetEpochTime(std::string text);

    // JSON getters: a missing key or a null value gives the empty value.
    // A value of another type is a caller's error and is reported as such.
    std::string GetStringValue(const rapidjson::Value& object, const std::string& key) const;
    bool GetBoolean(const rapidjson::Value& object, const std::string& key) const;
    int64_t GetIntValue(const rapidjson::Value& object, const std::string& key) const;
    uint64_t GetUInt64Value(const rapidjson::Value& object, const std::string& key) const;
    const rapidjson::Value& GetObjectValue(const rapidjson::Value& object, const std::string& key) const;
    const rapidjson::Value& GetArrayValue(const rapidjson::Value& object, const std::string& key) const;
    void setVerbose(bool value) { verbose = value; }

    static bool shardMapsDiffer(const std::map<std::string, std::string>& current,
                                const std::map<std::string, std::string>& previous, std::set<std::string>& added,
                                std::set<std::string>& removed, std::set<std::string>& changed,
                                EvDebug* debug = nullptr);
    // The tables to protect; fails (774) when the configuration has none.
    CZoError getTables(std::vector<App::DynamoDBTable>*& out);

    // table + "[" + region + "]"
    static std::string toTableRegionString(const std::string& region, const std::string& table);
    // region + TAB + table, and back (the first two TAB-separated pieces; a
    // text without a TAB is all region).
    static void toRegionTablePair(const std::string& region, const std::string& table, std::string& out);
    static void fromRegionTablePair(const std::string& pair, std::string& region, std::string& table);
    // Host events of the restore: our host records them in the job log.
    static void minorEvent(TeskEnvironment& environment, const std::string& text);
    static void majorEvent(TeskEnvironment& environment, const std::string& text);

private:
    DynamoDBTESK::DynamoDBConfig config;
    std::string subclientDirectory = ".";  // state files go here until CreateJobResultsDirectory
    bool verbose = false;
    EvDebug debug;
    AmazonCredentials credentials;
    uint64_t applicationId = 0;
    uint64_t vardaId = 2;
    int64_t jobId = 0;
    std::string localHostName;
    std::string clientName;
    std::string accessKey;
    std::string secretKey; // never logged
    std::string jobResultsPath;
    std::vector<std::string> regions;
    int64_t readThroughput = 0;
    int64_t writeThroughput = 0;
    std::map<RunnerKey, std::shared_ptr<AwsDynamoDBRestoreRunner>> restoreRunners;
    TeskLoggingEnvironment environment;
};
