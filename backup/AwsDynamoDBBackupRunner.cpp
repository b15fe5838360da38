#include "backup/AwsDynamoDBBackupRunner.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "dynamodb/AwsDynamoDBService.h"

AwsDynamoDBBackupRunner::AwsDynamoDBBackupRunner(AmazonCredentials credentials, TeskEnvironment& environment)
    : credentials(std::move(credentials)), environment(&environment), lock(std::make_unique<HxCriticalSectionH>()) {}

AwsDynamoDBBackupRunner::~AwsDynamoDBBackupRunner() = default;

bool AwsDynamoDBBackupRunner::createDescription(std::string tableName, unsigned segments,
                                                std::shared_ptr<TableDescription>& description,
                                                GlobalTableMap& globalTables, bool describe) {
    AwsDynamoDBService service(credentials, *environment);
    const std::string region = credentials.region;
    if (describe) tableOutcome = service.describeTable(tableName);
    if (!tableOutcome.isSuccess()) {
        const std::string message = "Describe failed '" + tableOutcome.errorMessage + "' for table " + tableName +
                                    " in region " + region;
        environment->log("createDescription", message);
        environment->setFailure(message);
        return false;
    }

    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("table");
    tableOutcome.result->json.Accept(writer);
    writer.Key("segments");
    writer.Uint(segments);
    // Time to Live and tags are not part of the description; a restore
    // applies what was recorded. Unreadable ones are left out with a warning
    // rather than failing the backup of the data.
    AwsDynamoDBService::TimeToLive ttl;
    std::string problem;
    if (service.describeTimeToLive(tableName, ttl, problem)) {
        writer.Key("timeToLive");
        writer.StartObject();
        writer.Key("AttributeName");
        writer.String(ttl.attribute.c_str(), static_cast<rapidjson::SizeType>(ttl.attribute.size()));
        writer.Key("Enabled");
        writer.Bool(ttl.enabled);
        writer.EndObject();
    } else {
        environment->log("createDescription", "warning: Time to Live of " + tableName + " not recorded: " + problem);
    }
    std::map<std::string, std::string> tags;
    if (service.readTags(tableOutcome.result->tableArn, tags, problem)) {
        writer.Key("tags");
        writer.StartObject();
        for (const auto& tag : tags) {
            writer.Key(tag.first.c_str(), static_cast<rapidjson::SizeType>(tag.first.size()));
            writer.String(tag.second.c_str(), static_cast<rapidjson::SizeType>(tag.second.size()));
        }
        writer.EndObject();
    } else {
        environment->log("createDescription", "warning: tags of " + tableName + " not recorded: " + problem);
    }
    // Only the first entry that names this region counts: "regions" once.
    auto range = globalTables.equal_range(tableName);
    for (auto entry = range.first; entry != range.second; ++entry) {
        if (!entry->second.count(region)) continue;
        environment->log("createDescription", "Table " + tableName + " [" + region + "] is global, in " +
                                                  std::to_string(entry->second.size()) + " regions");
        writer.Key("regions");
        writer.StartArray();
        for (const auto& name : entry->second) {
            writer.String(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
            environment->log("createDescription", "Region: " + name);
        }
        writer.EndArray();
        break;
    }
    writer.EndObject();

    std::shared_ptr<TeskOutput> output = environment->openDescriptionOutput();
    if (!output || !output->putString(std::string(buffer.GetString(), buffer.GetSize())) || !output->close("")) {
        const std::string message = "Failed to write description.json file";
        environment->log("createDescription", message);
        environment->setFailure(message);
        return false;
    }
    description = tableOutcome.result;
    return true;
}
