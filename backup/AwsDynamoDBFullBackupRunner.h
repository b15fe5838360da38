#pragma once
// Full backup of one table: describe it, raise its read capacity if asked,
// scan every segment in parallel into its own output, record where each
// segment stopped, and put the capacity back.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "backup/AwsDynamoDBBackupRunner.h"
#include "framework/TeskOutput.h"
#include "platform/Export.h"

// The argument of one segment worker.
struct ScanArgs {
    std::unique_ptr<HxCriticalSectionH>* lock = nullptr; // guards segmentKeys; null: no locking
    std::map<int, std::string>* segmentKeys = nullptr;   // receives the segment's final key
    AmazonCredentials* credentials = nullptr;
    std::string tableName;
    int segment = 0; // 0-based, sent as "Segment"
    int totalSegments = 1;
    TeskEnvironment* environment = nullptr;
    std::string restartString; // key to resume after; empty: from the start
    bool completed = false;    // the segment ended normally (scanned or stopped)
    TeskOutput* output = nullptr; // supplied by the caller, or null: ask the environment
};

class AwsDynamoDBFullBackupRunner : public AwsDynamoDBBackupRunner {
public:
    using AwsDynamoDBBackupRunner::AwsDynamoDBBackupRunner;

    // Backs up `tableName` with `threadCount` segments. `restartStrings`
    // (one per segment, or null) resume segments; `segments` (1-based
    // numbers, or null for all) limits the run to some of them.
    DDB_EXPORT bool execute(std::string tableName, GlobalTableMap& globalTables, int64_t readThroughput, unsigned threadCount,
                 std::vector<std::string>* restartStrings, std::set<int>* segments);

    static void* scanThread(void* argument);
    static bool executeLowLevel(ScanArgs* args);
    bool changeReadThroughput(std::string tableName, std::shared_ptr<TableDescription> description, int64_t readUnits,
                              bool& decreaseRefused, std::string verb);
    bool waitForActiveTable(std::string tableName);
    // Diagnostic: one segment through the buffered path into `fileName`.
    void testBufferedMode(std::string tableName, std::string fileName);

    // Where each segment stopped in the last execute: empty when scanned to the end.
    std::map<int, std::string> getSegmentKeys() const;
    // Set when the read capacity raised for the scan could not be put back:
    // the data is complete, the table is left over-provisioned.
    const std::string& getCapacityWarning() const { return capacityWarning; }

private:
    std::string capacityWarning;
    std::map<int, std::string> segmentKeys; // guarded by *lock while workers run
};
