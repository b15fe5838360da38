#pragma once
// Buffered inputs that let the host drive one restore worker and feed it
// the backup's bytes itself (processBuffer): a full-backup segment, an
// incremental shard, or a stream to consume and discard.

#include <memory>
#include <string>
#include <vector>

#include "framework/TeskBufferedInput.h"
#include "restore/RestoreArgs.h"
#include "platform/Export.h"

class BufferedRestoreFromFull : public TeskBufferedInput {
public:
    BufferedRestoreFromFull() = default;
    DDB_EXPORT ~BufferedRestoreFromFull() override;
    DDB_EXPORT bool initialize(AmazonCredentials* credentials, const std::string& sourceTable,
                    const std::string& destinationTable, TeskEnvironment& environment, int segment);
    bool initializeRestore() override { return true; }
    DDB_EXPORT bool startRestore(bool verbose) override;

private:
    AmazonCredentials credentials;
    std::shared_ptr<FullRestoreArgs> args;
};

class BufferedRestoreFromIncremental : public TeskBufferedInput {
public:
    // The pool and shard map are the creator's; the map must exist already.
    DDB_EXPORT BufferedRestoreFromIncremental(std::shared_ptr<HxThreadPool> pool, std::shared_ptr<IncrementalArgsMap> argsMap);
    DDB_EXPORT ~BufferedRestoreFromIncremental() override;
    DDB_EXPORT bool initialize(AmazonCredentials* credentials, const std::string& destinationTable, const std::string& shardId,
                    TeskEnvironment* environment, int64_t time, const std::vector<std::string>& keySchema,
                    const std::vector<std::string>& children);
    bool initializeRestore() override { return true; }
    DDB_EXPORT bool startRestore(bool verbose) override;

private:
    AmazonCredentials credentials;
    std::shared_ptr<HxThreadPool> pool;
    std::shared_ptr<IncrementalArgsMap> argsMap;
    IncrementalRestoreArgs* args = nullptr; // owned through argsMap
};

// Consumes a stream and keeps nothing of it.
class BufferedRestoreIgnoreData : public TeskBufferedInput {
public:
    bool processBuffer(void*, unsigned long) override { return true; }
    bool deferredProcessBuffer(bool) override { return true; }
    bool initializeRestore() override { return true; }
    bool startRestore(bool) override { return true; }
    bool closeChunk() override { return true; }
};
