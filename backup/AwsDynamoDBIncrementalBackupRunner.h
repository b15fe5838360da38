#pragma once
// Incremental backup of one table from its DynamoDB stream: each shard is
// read on a worker from where the previous incremental stopped until it has
// caught up with the start of this run, one output per shard, and the run
// ends by writing metadata.json: the shard tree and, per shard, where the
// next incremental resumes ("finished", "empty" or a sequence number).

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backup/AwsDynamoDBBackupRunner.h"
#include "framework/TeskInput.h"
#include "framework/TeskOutput.h"
#include "platform/Export.h"

// The argument of one shard worker.
struct ProcessShardArgs {
    AmazonCredentials* credentials = nullptr;
    std::string streamArn;
    std::string tableName;
    std::string shardId;
    std::string parentShardId;
    std::string startingSequenceNumber;
    std::string endingSequenceNumber;
    int64_t startTime = 0;                                // read until records reach this time
    std::unique_ptr<HxCriticalSectionH>* lock = nullptr;  // guards shardStates; null: no locking
    std::map<std::string, std::string>* shardStates = nullptr;
    bool completed = false;
    TeskOutput* output = nullptr; // supplied by the caller, or null: ask the environment
    bool verbose = true;
    std::string restartString; // empty, or the sequence number to read after
    TeskEnvironment* environment = nullptr;
};

// Arguments for reading `shard` of the stream `streamArn` from `restart`
// ("empty" or empty: from its oldest record).
std::unique_ptr<ProcessShardArgs> makeShardArgs(AmazonCredentials* credentials, const std::string& streamArn,
                                                const std::string& tableName, const Shard& shard, int64_t startTime,
                                                std::unique_ptr<HxCriticalSectionH>* lock,
                                                std::map<std::string, std::string>* shardStates,
                                                TeskEnvironment* environment, const std::string& restart);

class AwsDynamoDBIncrementalBackupRunner : public AwsDynamoDBBackupRunner {
public:
    enum FailureCause { kDescription = 1, kStream = 2, kMetadata = 3, kNone = 4 };

    DDB_EXPORT AwsDynamoDBIncrementalBackupRunner(AmazonCredentials credentials, TeskEnvironment& environment);
    DDB_EXPORT ~AwsDynamoDBIncrementalBackupRunner() override;

    // The whole incremental backup; `previousMetadata` is the last
    // incremental's metadata.json, or null. A thread count of 0 means one
    // thread per shard.
    DDB_EXPORT bool execute(std::string tableName, GlobalTableMap& globalTables, TeskInput* previousMetadata,
                 unsigned threadCount);
    bool initialize(std::string tableName, GlobalTableMap& globalTables, TeskInput* previousMetadata,
                    std::shared_ptr<TableDescription>& description, FailureCause& cause, bool descriptionOnly,
                    unsigned threadCount);
    static void* processShard(void* argument);
    static bool executeLowLevel(ProcessShardArgs* args);
    bool createMetadataOutput(bool withContext);
    void clearArgsList();
    // Diagnostic: one shard through the buffered path into `fileName`.
    void testBufferedMode(std::string tableName, std::string fileName, std::string streamArn, Shard shard,
                          int64_t time);

    // A new chain from a full backup begun at `second` holds every change
    // since then only if the stream already existed (to the second: a full
    // begun in the second its stream was created is taken as begun after
    // it); set before initialize.
    void requireStreamSince(int64_t second) { streamRequiredSince = second; }

    int64_t getStartTime() const { return startTime; }
    const std::string& getMetadataText() const { return metadataText; }
    std::map<std::string, std::string> getShardStates() const;
    const std::vector<std::unique_ptr<ProcessShardArgs>>& getShardArgs() const { return shardArgs; }

private:
    std::shared_ptr<StreamDescription> streamDescription;
    int streamErrorCode = 0;
    std::string streamErrorMessage;
    std::map<std::string, std::string> shardStates; // guarded by *lock while workers run
    std::map<std::string, std::string> previousContext;
    std::string previousStream; // the ARN the previous incremental read; empty: not recorded
    int64_t streamRequiredSince = 0;
    std::vector<std::unique_ptr<ProcessShardArgs>> shardArgs;
    int64_t startTime = 0;
    std::string metadataText;
};
