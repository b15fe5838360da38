#pragma once
// Restores backup files one by one as the host finds them: maps each file's
// source table to its destination and prepares the buffered input the host
// fills with the file's bytes. Files of one directory (one scan segment or
// one shard) share one input.

#include <memory>
#include <string>

#include "management/CloudDBRemoteFileFactory.h"
#include "management/EvDebug.h"
#include "management/RestoreTask.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "platform/Export.h"

class DynamoRemoteFileRestoreFactory : public CloudDBRemoteFileFactory {
public:
    explicit DynamoRemoteFileRestoreFactory(std::shared_ptr<LogSink> sink = nullptr);
    DDB_EXPORT CZoError Initialize(int64_t jobId) override;
    DDB_EXPORT CZoError Process(CloudConnectionDetails& details, const std::string& fileName, bool& skip) override;

    TeskLoggingEnvironment& getEnvironment() { return environment; }

private:
    std::string currentDirectory;
    TeskLoggingEnvironment environment;
    DynamoDbRestoreOptions restoreOptions;
    bool ignoring = false;
    std::shared_ptr<LogSink> sink;
    EvDebug debug;
};

// The exported entry through which the host obtains a factory (it owns it).
extern "C" DDB_EXPORT CloudDBRemoteFileFactory* GetRemoteFileFactory();
