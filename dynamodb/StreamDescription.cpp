#include "dynamodb/StreamDescription.h"

#include <set>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "dynamodb/JsonText.h"

void StreamDescription::update(const rapidjson::Value& description, bool clear) {
    if (clear) shards.clear();
    if (!description.IsObject()) return;
    auto list = description.FindMember("Shards");
    if (list != description.MemberEnd() && list->value.IsArray()) {
        for (const auto& element : list->value.GetArray()) {
            Shard shard;
            shard.shardId = json_text::stringMember(element, "ShardId");
            // DynamoDB always names a shard; an unnamed one cannot be read anyway.
            if (shard.shardId.empty()) continue;
            shard.parentShardId = json_text::stringMember(element, "ParentShardId");
            auto range = element.FindMember("SequenceNumberRange");
            if (range != element.MemberEnd()) {
                shard.startingSequenceNumber = json_text::stringMember(range->value, "StartingSequenceNumber");
                shard.endingSequenceNumber = json_text::stringMember(range->value, "EndingSequenceNumber");
            }
            shards.push_back(std::move(shard));
        }
    }
    streamArn = json_text::stringMember(description, "StreamArn");
    streamStatus = json_text::stringMember(description, "StreamStatus");
    tableName = json_text::stringMember(description, "TableName");
    streamViewType = json_text::stringMember(description, "StreamViewType");
    creationTime = json_text::int64Member(description, "CreationRequestDateTime", creationTime);
}

std::string StreamDescription::treeToJson(long long time, const std::map<std::string, std::string>& context) const {
    std::set<std::string> ids;
    for (const auto& shard : shards) ids.insert(shard.shardId);
    std::vector<std::string> roots;
    std::map<std::string, std::vector<std::string>> children;
    for (const auto& shard : shards) {
        if (ids.count(shard.parentShardId))
            children[shard.parentShardId].push_back(shard.shardId);
        else
            roots.push_back(shard.shardId);
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    auto text = [&writer](const std::string& value) {
        writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
    };
    writer.StartObject();
    writer.Key("roots");
    writer.StartArray();
    for (const auto& root : roots) text(root);
    writer.EndArray();
    writer.Key("children");
    writer.StartObject();
    for (const auto& parent : children) {
        writer.Key(parent.first.c_str(), static_cast<rapidjson::SizeType>(parent.first.size()));
        writer.StartArray();
        for (const auto& child : parent.second) text(child);
        writer.EndArray();
    }
    writer.EndObject();
    writer.Key("context");
    writer.StartObject();
    for (const auto& entry : context) {
        writer.Key(entry.first.c_str(), static_cast<rapidjson::SizeType>(entry.first.size()));
        text(entry.second);
    }
    writer.EndObject();
    writer.Key("time");
    writer.Int64(time);
    if (!streamArn.empty()) {
        writer.Key("stream");
        text(streamArn);
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}
