#pragma once
// The agent's configuration record, filled from the subclient properties.

#include <cstdint>
#include <vector>

#include "framework/HostMessages.h"

namespace DynamoDBTESK {

class DynamoDBConfig {
public:
    int64_t getTemporaryReadThroughput() const { return temporaryReadThroughput; }
    void setTemporaryReadThroughput(int64_t value) { temporaryReadThroughput = value; }
    int64_t getTemporaryWriteThroughput() const { return temporaryWriteThroughput; }
    void setTemporaryWriteThroughput(int64_t value) { temporaryWriteThroughput = value; }
    bool getIncrementalSupported() const { return incrementalSupported; }
    void setIncrementalSupported(bool value) { incrementalSupported = value; }
    int getChunkSizeMB() const { return chunkSizeMB; }
    void setChunkSizeMB(int value) { chunkSizeMB = value; }
    std::vector<App::DynamoDBTable>* getTables() { return &tables; }
    void setTables(const std::vector<App::DynamoDBTable>* value) { tables = value ? *value : std::vector<App::DynamoDBTable>(); }

private:
    int64_t temporaryReadThroughput = 0;
    int64_t temporaryWriteThroughput = 0;
    bool incrementalSupported = true;
    int chunkSizeMB = 16;
    std::vector<App::DynamoDBTable> tables;
};

} // namespace DynamoDBTESK
