#pragma once
// The backup task one worker thread receives from the agent controller, as
// name/value pairs or as a list of strings, and reads back from them.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "management/CZoError.h"
#include "management/EvDebug.h"
#include "framework/HostMessages.h"

namespace DynamoDBTESK {

class DynamoDBTaskDescriptor {
public:
    // Appends the 16 name/value pairs, in their fixed order, to `out`.
    void save(DistributedTESK::DINameValue& scratch, std::vector<DistributedTESK::DINameValue>& out) const;
    // Reads every field from the pairs; every key is required. The first
    // failure ends the call; fields read before it keep their new values.
    CZoError restore(const std::map<std::string, std::string>& values);
    CZoError extractValueFromMap(const std::map<std::string, std::string>& values, const std::string& name,
                                 std::string& out) const;
    // The 15-string form (without closeAfileAfterTask).
    void save(std::vector<std::string>& out) const;
    bool restore(const std::vector<std::string>& in);
    void assign(const DynamoDBTaskDescriptor& other) { *this = other; }
    // Compares all but readThroughput, RestoreMetadata and closeAfileAfterTask.
    bool operator==(const DynamoDBTaskDescriptor& other) const;
    bool operator!=(const DynamoDBTaskDescriptor& other) const { return !(*this == other); }
    void Log(EvDebug& debug) const;

    std::string region;
    std::string tableName;
    int threadId = 0;
    int totalThreads = 0;
    std::string streamArn;
    int64_t timeStarted = 0;
    int64_t readThroughput = 0;
    std::string shardId;
    std::string parentShardId;
    std::string rootShardId;
    std::string startingSequenceNumber;
    std::string endingSequenceNumber;
    std::string JSONDescription;
    std::string RestartContext;
    std::string RestoreMetadata;
    bool closeAfileAfterTask = false;
};

// Restart offsets per collect, parsed from the restart string the job
// manager hands a restarted job ("-o <collect>|<offset> ...").
class BackupRestartInfo {
public:
    explicit BackupRestartInfo(std::shared_ptr<LogSink> sink = nullptr) : debug(std::move(sink)) {}
    virtual ~BackupRestartInfo() = default;
    void initialize(const std::string& restart);
    std::map<int, long long>::const_iterator findCollect(int collect) const { return offsets.find(collect); }
    bool isCollectInMap(int collect) const { return offsets.count(collect) != 0; }
    long long lookupCollectOffset(int collect);
    void clearMap() { offsets.clear(); }
    const std::map<int, long long>& getOffsets() const { return offsets; }

private:
    std::map<int, long long> offsets;
    EvDebug debug;
};

} // namespace DynamoDBTESK
