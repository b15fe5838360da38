#pragma once
// One shard of an incremental backup pulled by the host: the host calls
// fillBuffer and the shard is read on the producer thread behind it.

#include <map>
#include <memory>
#include <string>

#include "backup/AwsDynamoDBIncrementalBackupRunner.h"
#include "framework/TeskBufferedOutput.h"
#include "platform/Export.h"

class BufferedIncrementalBackup : public TeskBufferedOutput {
public:
    DDB_EXPORT BufferedIncrementalBackup();
    DDB_EXPORT ~BufferedIncrementalBackup() override;

    DDB_EXPORT bool initialize(AmazonCredentials credentials, TeskEnvironment* environment, const std::string& streamArn,
                    const std::string& tableName, const Shard& shard, int64_t time, const std::string& restart);
    bool initializeBackup() override { return true; }
    DDB_EXPORT bool startBackup(bool verbose) override;
    bool flush() override { return true; }
    bool close(const std::string& restart) override { return TeskBufferedOutput::close(restart); }

    // The shard's state once startBackup has returned.
    std::map<std::string, std::string> getShardStates() const { return shardStates; }

private:
    AmazonCredentials credentials;
    std::shared_ptr<ProcessShardArgs> args;
    std::map<std::string, std::string> shardStates;
};
