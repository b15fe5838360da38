#pragma once
// What the full and incremental backup runners share: credentials, the job
// environment, the lock for their workers' results, and the first step of
// every backup, writing the table's description ("description.json").

#include <map>
#include <memory>
#include <set>
#include <string>

#include "aws/AmazonCredentials.h"
#include "dynamodb/AmazonOutcome.h"
#include "dynamodb/StreamDescription.h"
#include "dynamodb/TableDescription.h"
#include "framework/HxCriticalSectionH.h"
#include "framework/TeskEnvironment.h"
#include "platform/Export.h"

// Table name to the regions of each global table, as listGlobalTables gives it.
using GlobalTableMap = std::multimap<std::string, std::set<std::string>>;

class AwsDynamoDBBackupRunner {
public:
    DDB_EXPORT AwsDynamoDBBackupRunner(AmazonCredentials credentials, TeskEnvironment& environment);
    DDB_EXPORT virtual ~AwsDynamoDBBackupRunner();
    AwsDynamoDBBackupRunner(const AwsDynamoDBBackupRunner&) = delete;
    AwsDynamoDBBackupRunner& operator=(const AwsDynamoDBBackupRunner&) = delete;

    // Describes the table (unless `describe` is false) and writes
    // {"table":...,"segments":N[,"regions":[...]]} to the description output.
    bool createDescription(std::string tableName, unsigned segments, std::shared_ptr<TableDescription>& description,
                           GlobalTableMap& globalTables, bool describe);

protected:
    AmazonCredentials credentials;
    TeskEnvironment* environment;
    // Guards the per-worker results the subclasses collect.
    std::unique_ptr<HxCriticalSectionH> lock;
    AmazonOutcome<TableDescription> tableOutcome;
    AmazonOutcome<StreamDescription> streamOutcome;
};
