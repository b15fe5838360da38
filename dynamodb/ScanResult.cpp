#include "dynamodb/ScanResult.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "dynamodb/JsonText.h"

std::string ScanRequest::asJson() const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("TableName");
    writer.String(tableName.c_str(), static_cast<rapidjson::SizeType>(tableName.size()));
    writer.Key("Segment");
    writer.Int64(segment);
    writer.Key("TotalSegments");
    writer.Int64(totalSegments);
    if (exclusiveStartKey.IsObject() && exclusiveStartKey.MemberCount() > 0) {
        writer.Key("ExclusiveStartKey");
        exclusiveStartKey.Accept(writer);
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

ScanResult::ScanResult(const rapidjson::Value& response) { assign(response); }

ScanResult::ScanResult(const ScanResult& other) : items(other.items) {
    lastEvaluatedKey.CopyFrom(other.lastEvaluatedKey, lastEvaluatedKey.GetAllocator());
}

void ScanResult::assign(const rapidjson::Value& response) {
    items.clear();
    if (response.IsObject()) {
        auto found = response.FindMember("Items");
        if (found != response.MemberEnd() && found->value.IsArray())
            for (const auto& item : found->value.GetArray()) items.push_back(json_text::compact(item));
    }
    rapidjson::Document key;
    if (response.IsObject()) {
        auto found = response.FindMember("LastEvaluatedKey");
        if (found != response.MemberEnd()) key.CopyFrom(found->value, key.GetAllocator());
    }
    lastEvaluatedKey.Swap(key);
}

bool ScanResult::parseToStream(const std::string& responseBody, TeskOutput* output, std::string& lastEvaluatedKey) {
    rapidjson::Document document;
    if (!json_text::parseObject(document, responseBody)) return false;

    auto items = document.FindMember("Items");
    if (items != document.MemberEnd()) {
        // The whole page goes out in one buffer and one call; no per-item strings.
        rapidjson::StringBuffer page(nullptr, responseBody.size() + 64);
        if (items->value.IsArray()) {
            for (const auto& item : items->value.GetArray()) {
                rapidjson::Writer<rapidjson::StringBuffer> writer(page);
                item.Accept(writer);
                page.Put('\n');
            }
        }
        if (!output->putString(std::string(page.GetString(), page.GetSize()))) return false;
    }
    auto key = document.FindMember("LastEvaluatedKey");
    lastEvaluatedKey = key == document.MemberEnd() ? std::string() : json_text::compact(key->value);
    output->updateRestart(lastEvaluatedKey);
    return true;
}
