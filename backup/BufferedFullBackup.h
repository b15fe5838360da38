#pragma once
// One segment of a full backup pulled by the host: the host calls fillBuffer
// and the segment's scan runs on the producer thread behind it.

#include <map>
#include <memory>
#include <string>

#include "backup/AwsDynamoDBFullBackupRunner.h"
#include "framework/TeskBufferedOutput.h"
#include "platform/Export.h"

class BufferedFullBackup : public TeskBufferedOutput {
public:
    DDB_EXPORT BufferedFullBackup();
    DDB_EXPORT ~BufferedFullBackup() override;

    DDB_EXPORT bool initialize(AmazonCredentials credentials, TeskEnvironment* environment, const std::string& tableName,
                    int segment, int totalSegments, const std::string& restart);
    bool initializeBackup() override { return true; }
    DDB_EXPORT bool startBackup(bool) override;
    bool flush() override { return true; }
    bool close(const std::string& restart) override { return TeskBufferedOutput::close(restart); }

    // Where the segment stopped once startBackup has returned.
    std::map<int, std::string> getSegmentKeys() const { return segmentKeys; }

private:
    AmazonCredentials credentials;
    std::shared_ptr<ScanArgs> args;
    std::map<int, std::string> segmentKeys;
};
