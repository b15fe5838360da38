// Describe, create, delete, re-provision, wait for, list and tag tables.

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "dynamodb/AwsDynamoDBService.h"
#include "text/JsonText.h"

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

std::string nameForm(const std::string& tableName) { return "{\"TableName\":" + json_text::quoted(tableName) + "}"; }

void writeString(Writer& writer, const std::string& text) {
    writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
}

void writeThroughput(Writer& writer, const ProvisionedThroughput& throughput) {
    writer.Key("ProvisionedThroughput");
    writer.StartObject();
    writer.Key("ReadCapacityUnits");
    writer.Int64(throughput.readCapacityUnits);
    writer.Key("WriteCapacityUnits");
    writer.Int64(throughput.writeCapacityUnits);
    writer.EndObject();
}

} // namespace

AmazonOutcome<TableDescription> AwsDynamoDBService::tableFromAnswer(const AmazonResponse& response,
                                                                    const char* name) {
    rapidjson::Document document;
    if (!json_text::parseObject(document, response.body)) return AmazonOutcome<TableDescription>::malformed(response.body);
    auto table = document.FindMember(name);
    if (table == document.MemberEnd() || !table->value.IsObject())
        return AmazonOutcome<TableDescription>::malformed(response.body);
    return AmazonOutcome<TableDescription>(std::make_shared<TableDescription>(table->value));
}

AmazonOutcome<TableDescription> AwsDynamoDBService::sendUpdateTable(const std::string& body) {
    AmazonRequest request = baseRequest("UpdateTable", false);
    request.body = body;
    AmazonResponse response = send(request);
    // A refused decrease is not retried: the caller learns at once and decides.
    if (response.httpCode != 200) {
        provisionedThroughputDecreaseError = isThroughputDecreaseError(response.body);
        return AmazonOutcome<TableDescription>(response.body);
    }
    provisionedThroughputDecreaseError = false;
    return tableFromAnswer(response, "TableDescription");
}

AmazonOutcome<TableDescription> AwsDynamoDBService::describeTable(const std::string& tableName) {
    AmazonRequest request = baseRequest("DescribeTable", false);
    request.body = nameForm(tableName);
    AmazonResponse response = send(request);
    if (response.httpCode != 200) return AmazonOutcome<TableDescription>(response.body);
    return tableFromAnswer(response, "Table");
}

AmazonOutcome<TableDescription> AwsDynamoDBService::createTable(const std::string& requestJson) {
    AmazonRequest request = baseRequest("CreateTable", false);
    request.body = requestJson;
    AmazonResponse response = send(request);
    if (response.httpCode != 200) return AmazonOutcome<TableDescription>(response.body);
    return tableFromAnswer(response, "TableDescription");
}

AmazonOutcome<bool> AwsDynamoDBService::deleteTable(const std::string& tableName) {
    AmazonRequest request = baseRequest("DeleteTable", false);
    request.body = nameForm(tableName);
    AmazonResponse response = send(request);
    if (response.httpCode != 200) return AmazonOutcome<bool>(response.body);
    return AmazonOutcome<bool>(std::make_shared<bool>(true));
}

AmazonOutcome<TableDescription> AwsDynamoDBService::updateTableThroughputs(const std::string& tableName,
                                                                           const ProvisionedThroughput& throughput) {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    writer.Key("TableName");
    writeString(writer, tableName);
    writeThroughput(writer, throughput);
    writer.EndObject();

    return sendUpdateTable(std::string(buffer.GetString(), buffer.GetSize()));
}

AmazonOutcome<TableDescription> AwsDynamoDBService::updateTableThroughputs(
    const std::string& tableName, const std::map<std::string, ProvisionedThroughput>& indexes) {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    writer.Key("TableName");
    writeString(writer, tableName);
    writer.Key("GlobalSecondaryIndexUpdates");
    writer.StartArray();
    for (const auto& index : indexes) {
        writer.StartObject();
        writer.Key("Update");
        writer.StartObject();
        writer.Key("IndexName");
        writeString(writer, index.first);
        writeThroughput(writer, index.second);
        writer.EndObject();
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();

    return sendUpdateTable(std::string(buffer.GetString(), buffer.GetSize()));
}

bool AwsDynamoDBService::waitForTable(const std::string& tableName, unsigned timeoutSeconds, const char* function,
                                      bool untilDeleted) {
    const std::string name(function);
    const int64_t start = environment.clock().now();
    for (;;) {
        auto outcome = describeTable(tableName);
        bool done = untilDeleted ? outcome.errorType == ResourceNotFound
                                 : outcome.isSuccess() && outcome.result->tableStatus == "ACTIVE";
        if (done) {
            environment.log(name, name + " done");
            return true;
        }
        environment.log(name, name + " sleeping");
        environment.clock().sleepMs(2000);
        if (environment.clock().now() - start > static_cast<int64_t>(timeoutSeconds)) {
            environment.log(name, name + " timed out");
            return false;
        }
    }
}

bool AwsDynamoDBService::waitForActiveTable(const std::string& tableName, unsigned timeoutSeconds) {
    return waitForTable(tableName, timeoutSeconds, "waitForActiveTable", false);
}

bool AwsDynamoDBService::waitForDeletedTable(const std::string& tableName, unsigned timeoutSeconds) {
    return waitForTable(tableName, timeoutSeconds, "waitForDeletedTable", true);
}

bool AwsDynamoDBService::listTables(std::vector<std::string>& names, const std::string& startName,
                                    std::string& lastEvaluatedName, bool global,
                                    std::vector<std::vector<std::string>>& regions) {
    lastEvaluatedName.clear();
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    writer.Key("Limit");
    writer.Int(listPageSize);
    if (!startName.empty()) {
        writer.Key(global ? "ExclusiveStartGlobalTableName" : "ExclusiveStartTableName");
        writeString(writer, startName);
    }
    writer.EndObject();

    AmazonRequest request = baseRequest(global ? "ListGlobalTables" : "ListTables", false);
    request.body.assign(buffer.GetString(), buffer.GetSize());
    AmazonResponse response = send(request);
    auto fail = [this](const std::string& message) {
        environment.log("listTables", message);
        environment.setFailure(message);
        return false;
    };
    if (response.httpCode != 200)
        return fail(std::string("list") + (global ? " global" : "") + " tables failed with " +
                    std::to_string(response.httpCode));

    rapidjson::Document document;
    const char* listName = global ? "GlobalTables" : "TableNames";
    json_text::parseObject(document, response.body);
    auto list = document.IsObject() ? document.FindMember(listName) : rapidjson::Value::MemberIterator();
    if (!document.IsObject() || list == document.MemberEnd() || !list->value.IsArray())
        return fail(std::string(global ? "ListGlobalTables" : "ListTables") + " did not return an array");

    for (const auto& element : list->value.GetArray()) {
        if (!global) {
            if (!element.IsString()) continue;
            names.emplace_back(element.GetString(), element.GetStringLength());
            regions.push_back({credentials.region});
            continue;
        }
        auto group = element.IsObject() ? element.FindMember("ReplicationGroup") : rapidjson::Value::ConstMemberIterator();
        if (!element.IsObject() || group == element.MemberEnd() || !group->value.IsArray())
            return fail("ReplicationGroup for ListGlobalTables is not an array");
        std::vector<std::string> row;
        for (const auto& replica : group->value.GetArray()) row.push_back(json_text::stringMember(replica, "RegionName"));
        names.push_back(json_text::stringMember(element, "GlobalTableName"));
        regions.push_back(std::move(row));
    }
    lastEvaluatedName =
        json_text::stringMember(document, global ? "LastEvaluatedGlobalTableName" : "LastEvaluatedTableName");
    return true;
}

bool AwsDynamoDBService::listTables(bool global, std::vector<std::string>& names,
                                    std::vector<std::vector<std::string>>& regions) {
    std::string start;
    std::string last;
    for (;;) {
        if (!listTables(names, start, last, global, regions)) return false;
        if (last.empty()) return true;
        start = last;
    }
}

bool AwsDynamoDBService::listTables(std::vector<std::string>& names) {
    std::vector<std::vector<std::string>> regions;
    return listTables(false, names, regions);
}

bool AwsDynamoDBService::listGlobalTables(std::multimap<std::string, std::set<std::string>>& globalTables) {
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> regions;
    if (!listTables(true, names, regions)) return false;
    for (size_t i = 0; i < names.size(); ++i)
        globalTables.emplace(names[i], std::set<std::string>(regions[i].begin(), regions[i].end()));
    return true;
}

bool AwsDynamoDBService::listTagsPage(const std::string& resourceArn, std::map<std::string, std::string>& tags,
                                      const std::string& nextToken, std::string& nextTokenOut, std::string& error) {
    nextTokenOut.clear();
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    if (!nextToken.empty()) {
        writer.Key("NextToken");
        writeString(writer, nextToken);
    }
    writer.Key("ResourceArn");
    writeString(writer, resourceArn);
    writer.EndObject();

    AmazonRequest request = baseRequest("ListTagsOfResource", false);
    request.body.assign(buffer.GetString(), buffer.GetSize());
    AmazonResponse response = send(request);
    if (response.httpCode != 200) {
        error = "ListTagsOfResource failed on ARN " + resourceArn + " with " + std::to_string(response.httpCode);
        return false;
    }
    rapidjson::Document document;
    json_text::parseObject(document, response.body);
    auto list = document.IsObject() ? document.FindMember("Tags") : rapidjson::Value::MemberIterator();
    if (!document.IsObject() || list == document.MemberEnd() || !list->value.IsArray()) {
        error = "ListTagsOfResource did not return an array for " + resourceArn;
        return false;
    }
    for (const auto& tag : list->value.GetArray())
        tags[json_text::stringMember(tag, "Key")] = json_text::stringMember(tag, "Value");
    nextTokenOut = json_text::stringMember(document, "NextToken");
    return true;
}

bool AwsDynamoDBService::listTags(const std::string& resourceArn, std::map<std::string, std::string>& tags,
                                  const std::string& nextToken, std::string& nextTokenOut) {
    std::string error;
    if (listTagsPage(resourceArn, tags, nextToken, nextTokenOut, error)) return true;
    environment.log("listTags", error);
    environment.setFailure(error);
    return false;
}

bool AwsDynamoDBService::readTags(const std::string& resourceArn, std::map<std::string, std::string>& tags,
                                  std::string& error) {
    std::string token;
    std::string next;
    for (;;) {
        if (!listTagsPage(resourceArn, tags, token, next, error)) return false;
        if (next.empty()) return true;
        token = next;
    }
}

bool AwsDynamoDBService::listTags(const std::string& resourceArn, std::map<std::string, std::string>& tags) {
    std::string token;
    std::string next;
    for (;;) {
        if (!listTags(resourceArn, tags, token, next)) return false;
        if (next.empty()) return true;
        token = next;
    }
}

bool AwsDynamoDBService::listTagsOnTable(const std::string& tableName, std::map<std::string, std::string>& tags) {
    auto described = describeTable(tableName);
    if (!described.isSuccess()) {
        environment.setFailure("unable to obtain table description");
        return false;
    }
    return listTags(described.result->tableArn, tags);
}
