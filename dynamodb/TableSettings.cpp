// A table's settings outside its description: Time to Live and tags, read
// for a backup and applied to a restored table.

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "dynamodb/AwsDynamoDBService.h"
#include "text/JsonText.h"

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void writeString(Writer& writer, const std::string& text) {
    writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
}

} // namespace

bool AwsDynamoDBService::describeTimeToLive(const std::string& tableName, TimeToLive& ttl, std::string& error) {
    AmazonRequest request = baseRequest("DescribeTimeToLive", false);
    request.body = "{\"TableName\":" + json_text::quoted(tableName) + "}";
    AmazonResponse response = send(request);
    rapidjson::Document document;
    if (response.httpCode != 200 || !json_text::parseObject(document, response.body)) {
        error = "DescribeTimeToLive of " + tableName + " failed: " + response.body;
        return false;
    }
    auto description = document.FindMember("TimeToLiveDescription");
    if (description == document.MemberEnd() || !description->value.IsObject()) {
        error = "DescribeTimeToLive of " + tableName + " gave no TimeToLiveDescription: " + response.body;
        return false;
    }
    const std::string status = json_text::stringMember(description->value, "TimeToLiveStatus");
    ttl.enabled = status == "ENABLED" || status == "ENABLING";
    ttl.attribute = json_text::stringMember(description->value, "AttributeName");
    return true;
}

bool AwsDynamoDBService::updateTimeToLive(const std::string& tableName, const TimeToLive& ttl, std::string& error) {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    writer.Key("TableName");
    writeString(writer, tableName);
    writer.Key("TimeToLiveSpecification");
    writer.StartObject();
    writer.Key("Enabled");
    writer.Bool(ttl.enabled);
    writer.Key("AttributeName");
    writeString(writer, ttl.attribute);
    writer.EndObject();
    writer.EndObject();
    AmazonRequest request = baseRequest("UpdateTimeToLive", false);
    request.body.assign(buffer.GetString(), buffer.GetSize());
    AmazonResponse response = send(request);
    if (response.httpCode == 200) return true;
    error = "UpdateTimeToLive of " + tableName + " failed: " + response.body;
    return false;
}

bool AwsDynamoDBService::tagResource(const std::string& resourceArn, const std::map<std::string, std::string>& tags,
                                     std::string& error) {
    if (tags.empty()) return true;
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    writer.Key("ResourceArn");
    writeString(writer, resourceArn);
    writer.Key("Tags");
    writer.StartArray();
    for (const auto& tag : tags) {
        writer.StartObject();
        writer.Key("Key");
        writeString(writer, tag.first);
        writer.Key("Value");
        writeString(writer, tag.second);
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    AmazonRequest request = baseRequest("TagResource", false);
    request.body.assign(buffer.GetString(), buffer.GetSize());
    AmazonResponse response = send(request);
    if (response.httpCode == 200) return true;
    error = "TagResource on " + resourceArn + " failed: " + response.body;
    return false;
}
