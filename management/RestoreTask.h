#pragma once
// The host's restore tasks and the messages they carry. Our host keeps each
// restore job's options as text in a task registry; its serialised form of
// the option messages is JSON:
//   {"cloudAppsRestoreOptions":{"dynamoDbRestoreOptions":{
//      "destinationTables":[{"source":{"region":R,"table":T},"destination":{"region":R,"table":T}}],
//      "overwrite":0|1, "writeCapacity":N}}}
// and a table's DynamoDBMetadata is {"description":<description file text>,"extra":<text>}.
// Thread safety: the registry is guarded; messages are plain values.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/HostMessages.h"

struct DynamoDbTableMapping {
    App::DynamoDBTable source;
    App::DynamoDBTable destination;
};

struct DynamoDbRestoreOptions {
    bool hasDestinationTables = false;
    std::vector<DynamoDbTableMapping> destinationTables; // field 1
    int64_t overwrite = 0;                               // field 2
    int64_t writeCapacity = 0;                           // field 5
};

struct RestoreJobOptions {
    bool hasCloudAppsRestoreOptions = false;
    bool hasDynamoDbRestoreOptions = false;
    DynamoDbRestoreOptions dynamoDbRestoreOptions;
    static bool unserialize(const std::string& text, RestoreJobOptions& options);
    std::string serialize() const;
};

namespace IdxMetadata {
struct DynamoDBMetadata {
    std::string description; // field 1: a description file's text
    std::string extra;       // field 2
    static bool unserialize(const std::string& text, DynamoDBMetadata& metadata);
    std::string serialize() const;
};
} // namespace IdxMetadata

class EvRstTask {
public:
    // The task of a restore job, or null when the host has none: the
    // options registered in this process, else the file
    // $DDB_RESTORE_TASKS/<jobId>.json a host in another process wrote.
    static std::shared_ptr<EvRstTask> open(int64_t jobId);
    // Hosts (and tests) register a job's options text.
    static void registerTask(int64_t jobId, const std::string& options);
    static void removeTask(int64_t jobId);
    bool getXMLOptions(std::string& options) const;

private:
    std::string options_;
};
using EvRstTaskPtr = std::shared_ptr<EvRstTask>;

// Where a file being restored goes, as the host describes it.
struct CloudConnectionDetails {
    uint64_t destinationInstanceId = 0;
    std::string extendedOptions; // JSON object of named option texts
};

// Named options out of an extended-options text.
class CExtendedOptions {
public:
    explicit CExtendedOptions(const std::string& text);
    bool getOption(const std::string& name, std::string& value) const;

private:
    std::map<std::string, std::string> options_;
};
