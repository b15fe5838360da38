// The agent's restore entry points: runners for the destinations a restore
// task names, and their conclusion when the job ends.

#include "agent/DynamoDBTESK.h"
#include "restore/AwsDynamoDBRestoreRunner.h"

CZoError DynamoDBUtil::ProcessRestoreOptions(EvRstTaskPtr task, const std::map<std::string, std::string>& metadataByTable,
                                             bool useExistingTable, std::string& errorText) {
    auto failure = [&errorText](int code, const std::string& text) {
        errorText = text;
        return CZoError(__FILE__, __LINE__, code, "%s", text.c_str());
    };
    std::string xml;
    if (!task || !task->getXMLOptions(xml)) return failure(1627, "Failed to retrieve XML options from restore rstTask");
    RestoreJobOptions options;
    if (!RestoreJobOptions::unserialize(xml, options))
        return failure(1627, "Failed to unserialize restore job options [" + xml + "]");
    if (!options.hasCloudAppsRestoreOptions) return failure(1627, "CloudAppsRestoreOptions not found");
    if (!options.hasDynamoDbRestoreOptions) return failure(1627, "DynamoDbRestoreOptions not found");
    const DynamoDbRestoreOptions& restore = options.dynamoDbRestoreOptions;
    const bool overwrite = restore.overwrite != 0;
    writeThroughput = restore.writeCapacity;
    if (writeThroughput != 0)
        debug.log(0, "ProcessRestoreOptions",
                  "Write capacity will be temporarily increased to %lu when this is greater than the original write "
                  "capacity",
                  static_cast<unsigned long>(writeThroughput));
    AmazonCredentials destinationCredentials = credentials;
    if (!restore.hasDestinationTables) return failure(1627, "Failed to get Destination Table list");

    for (const auto& mapping : restore.destinationTables) {
        destinationCredentials.region = mapping.destination.region;
        const std::string key = mapping.source.region + ":" + mapping.source.tableName;
        auto found = metadataByTable.find(key);
        if (found == metadataByTable.end()) return failure(1168, "Metadata not found for " + key);
        IdxMetadata::DynamoDBMetadata metadata;
        if (!IdxMetadata::DynamoDBMetadata::unserialize(found->second, metadata))
            return failure(1627, "Failed to unserialize DynamoDBMetadata");
        environment.putDescriptionString(metadata.description);
        if (metadata.description.empty())
            debug.log(0, "ProcessRestoreOptions", "WARNING: description for '%s' is empty", key.c_str());
        else
            debug.log(3, "ProcessRestoreOptions", "description for '%s' is '%s'", key.c_str(),
                      metadata.description.c_str());
        auto runner = std::make_shared<AwsDynamoDBRestoreRunner>(destinationCredentials, environment);
        std::list<TeskEnvironment*> noIncrementals;
        if (!runner->initialize(overwrite, mapping.destination.tableName, &environment, noIncrementals, writeThroughput,
                                useExistingTable)) {
            std::string text = "Restore initialization failed for " +
                               toTableRegionString(mapping.destination.region, mapping.destination.tableName);
            if (!environment.getFailure().empty()) text = environment.getFailure();
            return failure(774, text);
        }
        restoreRunners[{mapping.destination.region, mapping.destination.tableName}] = runner;
    }
    return CZoError();
}

CZoError DynamoDBUtil::CleanupRestore() {
    for (auto& entry : restoreRunners)
        if (entry.second) entry.second->conclude(entry.first.second, true, writeThroughput);
    restoreRunners.clear();
    return CZoError();
}
