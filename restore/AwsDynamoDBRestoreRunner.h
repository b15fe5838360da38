#pragma once
// Restores one table from a full backup and later incrementals: prepares the
// destination (create, reuse, or delete and re-create), raises its write
// capacity for the duration, replays the full backup segment by segment and
// each incremental shard by shard (parents before children), and puts the
// capacity back.

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "dynamodb/TableDescription.h"
#include "restore/RestoreArgs.h"
#include "platform/Export.h"

class AwsDynamoDBRestoreRunner {
public:
    DDB_EXPORT AwsDynamoDBRestoreRunner(AmazonCredentials credentials, TeskEnvironment& environment);

    // The whole restore. `fullBackup` may be null when only incrementals are
    // replayed into an existing table; `incrementals` are replayed in order.
    DDB_EXPORT bool execute(bool overwrite, const std::string& destinationTable, TeskEnvironment* fullBackup,
                 std::list<TeskEnvironment*> incrementals, int64_t temporaryWriteCapacity, unsigned threadCount,
                 bool useExistingTable);
    bool initialize(bool overwrite, const std::string& destinationTable, TeskEnvironment* fullBackup,
                    std::list<TeskEnvironment*>& incrementals, int64_t temporaryWriteCapacity, bool useExistingTable);
    bool conclude(const std::string& destinationTable, bool wait, int64_t temporaryWriteCapacity);
    static void cleanupAllArgs(std::shared_ptr<IncrementalArgsMap> argsMap);

    // Workers.
    static void* fullRestoreThread(void* argument);
    static void* incrementalRestoreThread(void* argument);
    static bool executeFullRestoreLowLevel(FullRestoreArgs* args);
    static bool executeIncrementalRestoreLowLevel(IncrementalRestoreArgs* args);
    // Reads an incremental's metadata.json and builds the arguments of every
    // shard in its tree; `roots` receives the shards to start with.
    bool prepareIncrementalRestore(HxCriticalSectionH* lock, std::shared_ptr<HxThreadPool> pool,
                                   AmazonCredentials credentials, TeskEnvironment* incremental,
                                   const std::string& destinationTable, std::shared_ptr<IncrementalArgsMap> argsMap,
                                   std::vector<std::string>& roots);

    void setItemMultiplier(int multiplier) { itemMultiplier = multiplier; }
    std::shared_ptr<TableDescription> getSourceDescription() const { return sourceDescription; }
    // Set when the raised write capacity could not be put back: the restore
    // is complete, the table is left over-provisioned.
    const std::string& getCapacityWarning() const { return capacityWarning; }

private:
    std::string capacityWarning;
    AmazonCredentials credentials;
    TeskEnvironment* environment;
    std::shared_ptr<TableDescription> sourceDescription;
    std::shared_ptr<TableDescription> destinationDescription;
    int segmentCount = 0;
    int itemMultiplier = 0;
    // Credentials handed to incremental workers, kept alive for their run.
    std::vector<std::shared_ptr<AmazonCredentials>> heldCredentials;
};
