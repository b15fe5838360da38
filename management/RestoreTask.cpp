#include "management/RestoreTask.h"

#include <cstdlib>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/FileUtil.h"
#include "text/BoundedJson.h"

namespace {

std::mutex registryMutex;
std::map<int64_t, std::string>& registry() { // guarded by registryMutex
    static std::map<int64_t, std::string> tasks;
    return tasks;
}

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void writeTable(Writer& writer, const char* key, const App::DynamoDBTable& table) {
    writer.Key(key);
    writer.StartObject();
    writer.Key("region");
    writer.String(table.region.c_str());
    writer.Key("table");
    writer.String(table.tableName.c_str());
    writer.EndObject();
}

bool readTable(const rapidjson::Value& owner, const char* key, App::DynamoDBTable& table) {
    auto found = owner.FindMember(key);
    if (found == owner.MemberEnd() || !found->value.IsObject()) return false;
    auto region = found->value.FindMember("region");
    auto name = found->value.FindMember("table");
    if (region == found->value.MemberEnd() || !region->value.IsString() || name == found->value.MemberEnd() ||
        !name->value.IsString())
        return false;
    table.region = region->value.GetString();
    table.tableName = name->value.GetString();
    return true;
}

} // namespace

bool RestoreJobOptions::unserialize(const std::string& text, RestoreJobOptions& options) {
    rapidjson::Document document;
    if (!parseBoundedJson(document, text) || !document.IsObject()) return false;
    options = RestoreJobOptions();
    auto cloud = document.FindMember("cloudAppsRestoreOptions");
    if (cloud == document.MemberEnd() || !cloud->value.IsObject()) return true;
    options.hasCloudAppsRestoreOptions = true;
    auto dynamo = cloud->value.FindMember("dynamoDbRestoreOptions");
    if (dynamo == cloud->value.MemberEnd() || !dynamo->value.IsObject()) return true;
    options.hasDynamoDbRestoreOptions = true;
    DynamoDbRestoreOptions& d = options.dynamoDbRestoreOptions;
    const rapidjson::Value& body = dynamo->value;
    auto overwrite = body.FindMember("overwrite");
    if (overwrite != body.MemberEnd() && overwrite->value.IsInt64()) d.overwrite = overwrite->value.GetInt64();
    auto capacity = body.FindMember("writeCapacity");
    if (capacity != body.MemberEnd() && capacity->value.IsInt64()) d.writeCapacity = capacity->value.GetInt64();
    auto tables = body.FindMember("destinationTables");
    if (tables == body.MemberEnd()) return true;
    if (!tables->value.IsArray()) return false;
    d.hasDestinationTables = true;
    for (const auto& entry : tables->value.GetArray()) {
        DynamoDbTableMapping mapping;
        if (!entry.IsObject() || !readTable(entry, "source", mapping.source) ||
            !readTable(entry, "destination", mapping.destination))
            return false;
        d.destinationTables.push_back(mapping);
    }
    return true;
}

std::string RestoreJobOptions::serialize() const {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    if (hasCloudAppsRestoreOptions) {
        writer.Key("cloudAppsRestoreOptions");
        writer.StartObject();
        if (hasDynamoDbRestoreOptions) {
            const DynamoDbRestoreOptions& d = dynamoDbRestoreOptions;
            writer.Key("dynamoDbRestoreOptions");
            writer.StartObject();
            if (d.hasDestinationTables) {
                writer.Key("destinationTables");
                writer.StartArray();
                for (const auto& mapping : d.destinationTables) {
                    writer.StartObject();
                    writeTable(writer, "source", mapping.source);
                    writeTable(writer, "destination", mapping.destination);
                    writer.EndObject();
                }
                writer.EndArray();
            }
            writer.Key("overwrite");
            writer.Int64(d.overwrite);
            writer.Key("writeCapacity");
            writer.Int64(d.writeCapacity);
            writer.EndObject();
        }
        writer.EndObject();
    }
    writer.EndObject();
    return buffer.GetString();
}

bool IdxMetadata::DynamoDBMetadata::unserialize(const std::string& text, DynamoDBMetadata& metadata) {
    rapidjson::Document document;
    if (!parseBoundedJson(document, text) || !document.IsObject()) return false;
    auto description = document.FindMember("description");
    if (description == document.MemberEnd() || !description->value.IsString()) return false;
    metadata.description = description->value.GetString();
    auto extra = document.FindMember("extra");
    metadata.extra = extra != document.MemberEnd() && extra->value.IsString() ? extra->value.GetString() : "";
    return true;
}

std::string IdxMetadata::DynamoDBMetadata::serialize() const {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    writer.Key("description");
    writer.String(description.c_str(), static_cast<rapidjson::SizeType>(description.size()));
    writer.Key("extra");
    writer.String(extra.c_str(), static_cast<rapidjson::SizeType>(extra.size()));
    writer.EndObject();
    return buffer.GetString();
}

std::shared_ptr<EvRstTask> EvRstTask::open(int64_t jobId) {
    auto task = std::make_shared<EvRstTask>();
    {
        std::lock_guard<std::mutex> guard(registryMutex);
        auto found = registry().find(jobId);
        if (found != registry().end()) {
            task->options_ = found->second;
            return task;
        }
    }
    // A host in another process hands the options over as a file.
    const char* directory = std::getenv("DDB_RESTORE_TASKS");
    if (!directory || !*directory || jobId <= 0) return nullptr;
    if (!file_util::readFile(std::string(directory) + "/" + std::to_string(jobId) + ".json", task->options_))
        return nullptr;
    return task;
}

void EvRstTask::registerTask(int64_t jobId, const std::string& options) {
    std::lock_guard<std::mutex> guard(registryMutex);
    registry()[jobId] = options;
}

void EvRstTask::removeTask(int64_t jobId) {
    std::lock_guard<std::mutex> guard(registryMutex);
    registry().erase(jobId);
}

bool EvRstTask::getXMLOptions(std::string& options) const {
    options = options_;
    return !options_.empty();
}

CExtendedOptions::CExtendedOptions(const std::string& text) {
    rapidjson::Document document;
    if (!parseBoundedJson(document, text) || !document.IsObject()) return;
    for (const auto& member : document.GetObject())
        if (member.value.IsString()) options_[member.name.GetString()] = member.value.GetString();
}

bool CExtendedOptions::getOption(const std::string& name, std::string& value) const {
    auto found = options_.find(name);
    if (found == options_.end()) return false;
    value = found->second;
    return true;
}
