#include "dynamodb/StreamDescription.h"

#include <map>
#include <set>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "text/JsonText.h"

bool StreamDescription::update(const rapidjson::Value& description, bool clear) {
    if (clear) shards.clear();
    if (!description.IsObject()) return false;
    // A page without its shard list, or with a shard that has no id, would
    // hide shards, and with them their records.
    auto list = description.FindMember("Shards");
    if (list == description.MemberEnd() || !list->value.IsArray()) return false;
    for (const auto& element : list->value.GetArray()) {
        Shard shard;
        auto id = element.IsObject() ? element.FindMember("ShardId") : rapidjson::Value::ConstMemberIterator();
        if (!element.IsObject() || id == element.MemberEnd() || !id->value.IsString() || id->value.GetStringLength() == 0)
            return false;
        shard.shardId = id->value.GetString();
        shard.parentShardId = json_text::stringMember(element, "ParentShardId");
        auto range = element.FindMember("SequenceNumberRange");
        if (range != element.MemberEnd()) {
            shard.startingSequenceNumber = json_text::stringMember(range->value, "StartingSequenceNumber");
            shard.endingSequenceNumber = json_text::stringMember(range->value, "EndingSequenceNumber");
        }
        shards.push_back(std::move(shard));
    }
    streamArn = json_text::stringMember(description, "StreamArn");
    streamStatus = json_text::stringMember(description, "StreamStatus");
    tableName = json_text::stringMember(description, "TableName");
    streamViewType = json_text::stringMember(description, "StreamViewType");
    creationTime = json_text::int64Member(description, "CreationRequestDateTime", creationTime);
    return true;
}

std::string StreamDescription::lineageProblem() const {
    std::map<std::string, std::string> parents;
    for (const auto& shard : shards) {
        if (parents.count(shard.shardId)) return "shard " + shard.shardId + " is listed twice";
        parents[shard.shardId] = shard.parentShardId;
    }
    for (const auto& shard : shards) {
        // Walking up from each shard must leave the listed shards before it
        // meets one twice.
        std::set<std::string> seen{shard.shardId};
        std::string path = shard.shardId;
        for (auto parent = parents.find(shard.shardId); parent != parents.end() && !parent->second.empty();
             parent = parents.find(parent->second)) {
            path += " -> " + parent->second;
            if (!seen.insert(parent->second).second)
                return "the parents of shard " + shard.shardId + " form a cycle: " + path;
        }
    }
    return "";
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
