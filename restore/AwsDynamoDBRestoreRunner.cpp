#include "restore/AwsDynamoDBRestoreRunner.h"

#include <cstdlib>

#include <rapidjson/document.h>

#include "dynamodb/AwsDynamoDBService.h"
#include "management/AgentRegistry.h"
#include "management/HostEvents.h"
#include "text/JsonText.h"

namespace {

bool fail(TeskEnvironment& environment, const char* function, const std::string& message) {
    environment.log(function, message);
    environment.setFailure(message);
    return false;
}

bool registryEnablesExistingTable(TeskEnvironment& environment) {
    char value[1024];
    if (DynamoDBTESK::GetRegistryItemValue("sUSE_EXISTING_TABLE", value, sizeof value, nullptr, false, nullptr) != 0)
        return false;
    environment.log("initialize", std::string("sUSE_EXISTING_TABLE") + " registry has value '" + value + "'");
    const std::string lower = AwsRequestService::lowercase(value);
    if (std::atoi(value) > 0 || lower == "true" || lower == "t" || lower == "yes" || lower == "y") {
        environment.log("initialize", "Enabling useExistingTable feature");
        return true;
    }
    return false;
}

} // namespace

AwsDynamoDBRestoreRunner::AwsDynamoDBRestoreRunner(AmazonCredentials credentials, TeskEnvironment& environment)
    : credentials(std::move(credentials)), environment(&environment) {}

bool AwsDynamoDBRestoreRunner::initialize(bool overwrite, const std::string& destinationTable,
                                          TeskEnvironment* fullBackup, std::list<TeskEnvironment*>& incrementals,
                                          int64_t temporaryWriteCapacity, bool useExistingTable) {
    AwsDynamoDBService service(credentials, *environment);
    const std::string display = tableRegionText(credentials.region, destinationTable);
    const int64_t T = temporaryWriteCapacity;

    TeskEnvironment* holder = fullBackup;
    if (!holder) {
        if (!useExistingTable)
            return fail(*environment, "initialize",
                        "A full backup is required when not using an existing table for restore destination");
        if (incrementals.empty() || !incrementals.front())
            return fail(*environment, "initialize", "At least one backup is required in order to restore");
        holder = incrementals.front();
    }
    std::string text;
    std::shared_ptr<TeskInput> input = holder->openDescriptionInput();
    if (!input || !input->getContents(text))
        return fail(*environment, "initialize", "Failed to read full backup table description");
    rapidjson::Document description;
    auto table = json_text::parseObject(description, text) ? description.FindMember("table")
                                                           : rapidjson::Value::MemberIterator();
    if (!description.IsObject() || table == description.MemberEnd() || !table->value.IsObject())
        return fail(*environment, "initialize", "Failed to read full backup table description");
    sourceDescription = std::make_shared<TableDescription>(table->value);
    input->close();
    segmentCount = fullBackup ? static_cast<int>(json_text::int64Member(description, "segments", -1)) : 0;
    // Without its segment count a full backup would replay nothing and pass
    // for an empty table.
    if (segmentCount < 0)
        return fail(*environment, "initialize", "The full backup's description has no segment count");
    destinationDescription.reset();

    bool global = false;
    auto regions = description.FindMember("regions");
    if (regions != description.MemberEnd() && regions->value.IsArray()) {
        global = true;
        environment->log("initialize", "Destination table " + display + " was backed up as a global table in " +
                                           std::to_string(regions->value.Size()) + " regions");
        for (const auto& region : regions->value.GetArray())
            if (region.IsString()) environment->log("initialize", std::string("Source table region: ") + region.GetString());
    }

    auto destination = service.describeTable(destinationTable);
    bool recreate = false;
    if (!destination.isSuccess()) {
        if (destination.errorType != ResourceNotFound)
            return fail(*environment, "initialize",
                        "An error was encountered, other than \"not found\", while describing destination table " +
                            display + ": " + destination.errorMessage);
        // A missing destination is created, also when reusing was asked for:
        // there is no table to reuse.
    } else {
        if (!overwrite && !useExistingTable && registryEnablesExistingTable(*environment)) useExistingTable = true;
        const std::string refusal = "Table " + display + " already exists and will not be overwritten";
        if (!useExistingTable) {
            if (overwrite) {
                recreate = true;
            } else if (!global) {
                return fail(*environment, "initialize", refusal);
            } else if (service.isTableEmpty(destinationTable)) {
                environment->log("initialize", "Destination table " + display +
                                                   " is empty, so data from a global source table will be appended");
            } else {
                environment->log("initialize", "Destination table " + display + " is not empty");
                return fail(*environment, "initialize", refusal);
            }
        }
        if (!recreate) {
            // Items of another key are refused one batch at a time by the
            // service; say so before the first.
            const std::string theirs = destination.result->keyText(), ours = sourceDescription->keyText();
            if (theirs != ours)
                return fail(*environment, "initialize",
                            "Table " + display + " has the key " + theirs + ", the backed-up table " + ours +
                                ": its items cannot be written there; restore into a new table (--to) or "
                                "re-create this one (--overwrite)");
            destinationDescription = destination.result;
            const ProvisionedThroughput own = destinationDescription->provisionedThroughput;
            environment->log("initialize", "Skipping creation of existing destination table: " + display +
                                               " with write capacity " + std::to_string(own.writeCapacityUnits));
            // An on-demand table has no write capacity to raise.
            if (destinationDescription->billingMode == "PAY_PER_REQUEST") {
                if (T > 0)
                    environment->log("initialize", "Destination table " + display +
                                                       " is on demand: its capacity is left as it is");
            } else if (T > 0 && own.writeCapacityUnits < T) {
                environment->log("initialize", "Temporary write capacity " + std::to_string(T) +
                                                   " will be used as it is greater than the existing value " +
                                                   std::to_string(own.writeCapacityUnits));
                auto raised = service.updateTableThroughputs(destinationTable, ProvisionedThroughput{own.readCapacityUnits, T});
                if (!raised.isSuccess())
                    return fail(*environment, "initialize",
                                "Failed to temporarily raise the write capacity of " + display + ": " +
                                    raised.errorMessage);
            }
            return true;
        }
    }

    if (recreate) {
        environment->log("initialize", "Deleting table " + destinationTable);
        // A refused delete (deletion protection, permissions) would otherwise
        // only show as a wait for a table that is never going away.
        auto deleted = service.deleteTable(destinationTable);
        if (!deleted.isSuccess() && deleted.errorType != ResourceNotFound)
            return fail(*environment, "initialize",
                        "Cannot delete " + display + " to re-create it: " + deleted.errorMessage);
        if (!service.waitForDeletedTable(destinationTable, 300))
            return fail(*environment, "initialize", "Timed out waiting for " + display + " deleted");
    }
    TeskEnvironment& createLog = fullBackup ? *fullBackup : *environment;
    const ProvisionedThroughput source = sourceDescription->provisionedThroughput;
    std::string request;
    if (T < 1 || T <= source.writeCapacityUnits) {
        createLog.log("initialize", "Original write capacity " + std::to_string(source.writeCapacityUnits) +
                                        " will be used as the temporary write capacity " + std::to_string(T) +
                                        " is not greater");
        request = sourceDescription->createTableRequest(destinationTable, ProvisionedThroughput{-1, -1}, credentials.region);
    } else {
        createLog.log("initialize", "Temporary write capacity " + std::to_string(T) +
                                        " will be used as it is greater than the original value " +
                                        std::to_string(source.writeCapacityUnits));
        request = sourceDescription->createTableRequest(
            destinationTable, ProvisionedThroughput{std::max<int64_t>(source.readCapacityUnits, 1), T}, credentials.region);
    }
    createLog.log("initialize", "Creating destination table: " + display);
    createLog.log("initialize", "Full backup description: " + text);
    auto created = service.createTable(request);
    if (!created.isSuccess()) {
        fail(createLog, "initialize", "Create failed with " + created.errorMessage);
        if (&createLog != environment) environment->setFailure("Create failed with " + created.errorMessage);
        return false;
    }
    if (!service.waitForActiveTable(destinationTable, 300)) {
        fail(createLog, "initialize", "Timed out waiting for " + display + " active");
        if (&createLog != environment) environment->setFailure("Timed out waiting for " + display + " active");
        return false;
    }
    // What the description does not carry, recorded beside it: applied before
    // any data, so a failure leaves nothing half done.
    std::string problem;
    auto ttl = description.FindMember("timeToLive");
    if (ttl != description.MemberEnd() && ttl->value.IsObject()) {
        AwsDynamoDBService::TimeToLive setting;
        setting.attribute = json_text::stringMember(ttl->value, "AttributeName");
        auto enabled = ttl->value.FindMember("Enabled");
        setting.enabled = enabled != ttl->value.MemberEnd() && enabled->value.IsBool() && enabled->value.GetBool();
        if (setting.enabled && !service.updateTimeToLive(destinationTable, setting, problem))
            return fail(*environment, "initialize", "Cannot set Time to Live on " + display + ": " + problem);
    }
    auto tags = description.FindMember("tags");
    if (tags != description.MemberEnd() && tags->value.IsObject() && tags->value.MemberCount() > 0) {
        std::map<std::string, std::string> wanted;
        for (const auto& tag : tags->value.GetObject())
            if (tag.value.IsString()) wanted[tag.name.GetString()] = tag.value.GetString();
        if (!created.result || created.result->tableArn.empty() ||
            !service.tagResource(created.result->tableArn, wanted, problem))
            return fail(*environment, "initialize", "Cannot tag " + display + ": " + problem);
    }
    return true;
}

bool AwsDynamoDBRestoreRunner::execute(bool overwrite, const std::string& destinationTable, TeskEnvironment* fullBackup,
                                       std::list<TeskEnvironment*> incrementals, int64_t temporaryWriteCapacity,
                                       unsigned threadCount, bool useExistingTable) {
    if (!initialize(overwrite, destinationTable, fullBackup, incrementals, temporaryWriteCapacity, useExistingTable))
        return false;
    // Resolve the credentials once, before the workers share them.
    AwsDynamoDBService service(credentials, *environment);
    bool failed = false;
    if (threadCount == 0) threadCount = 1;

    if (fullBackup) {
        environment->log("execute", "Replaying full backup");
        std::vector<std::unique_ptr<FullRestoreArgs>> work;
        {
            HxThreadPool pool;
            pool.initThreadPool(4294967295UL, 1, threadCount, 1);
            for (int segment = 0; segment < segmentCount; ++segment) {
                auto args = std::make_unique<FullRestoreArgs>();
                args->credentials = &credentials;
                args->destinationTable = destinationTable;
                args->sourceTable = sourceDescription->tableName;
                args->environment = fullBackup;
                args->segment = segment;
                args->keySchema = sourceDescription->keySchema;
                args->itemMultiplier = itemMultiplier;
                pool.doWork(&AwsDynamoDBRestoreRunner::fullRestoreThread, args.get());
                work.push_back(std::move(args));
            }
            pool.waitForAllThreads(true, true, true, -1);
        }
        // A segment that could not be replayed whole fails the restore.
        for (const auto& args : work) failed |= !args->succeeded;
    }

    for (TeskEnvironment* incremental : incrementals) {
        if (failed || !incremental) {
            failed = true;
            break;
        }
        HxCriticalSectionH lock;
        auto pool = std::make_shared<HxThreadPool>();
        pool->initThreadPool(4294967295UL, 1, threadCount, 1);
        auto argsMap = std::make_shared<IncrementalArgsMap>();
        std::vector<std::string> roots;
        if (!prepareIncrementalRestore(&lock, pool, credentials, incremental, destinationTable, argsMap, roots)) {
            cleanupAllArgs(argsMap);
            failed = true;
            break;
        }
        for (const auto& root : roots) {
            auto found = argsMap->find(root);
            if (found != argsMap->end()) pool->doWork(&AwsDynamoDBRestoreRunner::incrementalRestoreThread, found->second);
        }
        pool->waitForAllThreads(true, true, true, -1);
        for (const auto& entry : *argsMap) failed |= !entry.second->succeeded;
        cleanupAllArgs(argsMap);
    }

    environment->log("execute", "All items written to destination table " + destinationTable);
    const bool concluded = conclude(destinationTable, !failed, temporaryWriteCapacity);
    if (!concluded || failed || environment->hasFailed()) {
        environment->log("execute", "Restore failed");
        return false;
    }
    environment->log("execute", "Restore complete");
    return true;
}

bool AwsDynamoDBRestoreRunner::conclude(const std::string& destinationTable, bool wait, int64_t temporaryWriteCapacity) {
    if (!sourceDescription) return true;
    TableDescription& D = destinationDescription ? *destinationDescription : *sourceDescription;
    const int64_t T = temporaryWriteCapacity;
    if (D.provisionedThroughput.writeCapacityUnits < 1 || D.provisionedThroughput.writeCapacityUnits >= T) return true;
    AwsDynamoDBService service(credentials, *environment);
    const std::string where = tableRegionText(credentials.region, destinationTable);
    const std::string text = "Restoring write throughput for " + where + " from " + std::to_string(T) + " to " +
                             std::to_string(D.provisionedThroughput.writeCapacityUnits);
    environment->log("conclude", text);
    raiseMinorEvent(*environment, text);
    if (D.provisionedThroughput.readCapacityUnits < 1) D.provisionedThroughput.readCapacityUnits = 1;
    auto outcome = service.updateTableThroughputs(destinationTable, D.provisionedThroughput);
    // DynamoDB limits decreases per day and per hour: keep asking for an hour.
    for (int retry = 0; retry < 61 && !outcome.isSuccess() && service.isProvisionedThroughputDecreaseError(); ++retry) {
        environment->clock().sleepMs(60000);
        outcome = service.updateTableThroughputs(destinationTable, D.provisionedThroughput);
    }
    if (!outcome.isSuccess()) {
        const std::string unable = "Unable to restore write throughput for " + where;
        environment->log("conclude", unable);
        raiseMajorEvent(*environment, unable);
        // The data is in: the restore stands, and the user learns what is left to do.
        capacityWarning = "the write capacity of " + where + " is still " + std::to_string(T) +
                          " and should be back to " + std::to_string(D.provisionedThroughput.writeCapacityUnits) +
                          "; lower it when DynamoDB allows (aws dynamodb update-table --table-name " +
                          destinationTable + " --provisioned-throughput ReadCapacityUnits=" +
                          std::to_string(D.provisionedThroughput.readCapacityUnits) + ",WriteCapacityUnits=" +
                          std::to_string(D.provisionedThroughput.writeCapacityUnits) + ")";
    }
    if (wait && !service.waitForActiveTable(destinationTable, 300))
        return fail(*environment, "conclude", "Timed out waiting for " + destinationTable + " active");
    if (!destinationDescription && !sourceDescription->gsiThroughputs.empty()) {
        environment->log("conclude", "Downgrading global secondary index throughputs");
        service.updateTableThroughputs(destinationTable, sourceDescription->gsiThroughputs);
        if (wait && !service.waitForActiveTable(destinationTable, 300))
            return fail(*environment, "conclude", "Timed out waiting for " + destinationTable + " active");
    }
    return true;
}
