// The agent's parsers of stored shard trees, descriptions and times, and its
// JSON getters.

#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "agent/DynamoDBTESK.h"
#include "agent/StrictNumber.h"
#include "text/JsonText.h"

void DynamoDBUtil::parseShardsTree(const std::string& json, std::vector<std::string>& roots,
                                   std::map<std::string, std::string>& parents) {
    rapidjson::Document tree;
    if (!json_text::parseObject(tree, json)) return;
    auto rootList = tree.FindMember("roots");
    auto children = tree.FindMember("children");
    if (rootList == tree.MemberEnd() || !rootList->value.IsArray()) return;
    std::vector<std::string> queue;
    for (const auto& root : rootList->value.GetArray())
        if (root.IsString()) {
            roots.push_back(root.GetString());
            queue.push_back(root.GetString());
        }
    const bool haveChildren = children != tree.MemberEnd() && children->value.IsObject();
    // A malformed tree could list a shard under its own descendant; visit each once.
    std::set<std::string> seen;
    for (size_t next = 0; next < queue.size() && haveChildren; ++next) {
        const std::string id = queue[next];
        if (!seen.insert(id).second) continue;
        auto list = children->value.FindMember(rapidjson::StringRef(id.c_str(), id.size()));
        if (list == children->value.MemberEnd() || !list->value.IsArray()) continue;
        for (const auto& child : list->value.GetArray())
            if (child.IsString()) {
                parents[child.GetString()] = id;
                queue.push_back(child.GetString());
            }
    }
    for (const auto& root : roots) parents.emplace(root, "");
}

std::shared_ptr<TableDescription> DynamoDBUtil::parseDescriptionJson(const std::string& json) {
    rapidjson::Document description;
    if (json_text::parseObject(description, json)) {
        auto table = description.FindMember("table");
        if (table != description.MemberEnd()) return std::make_shared<TableDescription>(table->value);
    }
    return std::make_shared<TableDescription>(rapidjson::Value());
}

time_t DynamoDBUtil::GetEpochTime(std::string text) {
    std::istringstream in(text);
    std::string weekday, month, clock;
    int day = 0, year = 0;
    in >> weekday >> month >> day >> year >> clock;
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int monthIndex = -1;
    for (int i = 0; i < 12; ++i)
        if (month == months[i]) monthIndex = i;
    if (monthIndex < 0) return 0;
    for (char& c : clock)
        if (c == ':') c = ' ';
    int hour = 0, minute = 0, second = 0;
    std::istringstream fields(clock);
    std::string h, m, sec;
    fields >> h >> m >> sec;
    // A field out of its range, or a year no tm can hold, is no time.
    // Missing minutes and seconds are 0, as they always were.
    auto field = [](const std::string& text, int& value) { return text.empty() || parseStrictInt(text, value); };
    if (!field(h, hour) || !field(m, minute) || !field(sec, second) || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60 || day < 1 || day > 31 || year < 1900 ||
        year > 9999)
        return 0;
    tm broken{};
    broken.tm_year = year - 1900;
    broken.tm_mon = monthIndex;
    broken.tm_mday = day;
    broken.tm_hour = hour;
    broken.tm_min = minute;
    broken.tm_sec = second;
    broken.tm_isdst = -1;
    return mktime(&broken);
}

namespace {

const rapidjson::Value* lookUp(const rapidjson::Value& object, const std::string& key) {
    if (!object.IsObject()) return nullptr;
    auto found = object.FindMember(rapidjson::StringRef(key.c_str(), key.size()));
    if (found == object.MemberEnd() || found->value.IsNull()) return nullptr;
    return &found->value;
}

[[noreturn]] void wrongType(const std::string& key, const char* wanted) {
    throw std::runtime_error("value of '" + key + "' is not " + wanted);
}

const rapidjson::Value& emptyValue(rapidjson::Type type) {
    static const rapidjson::Value emptyObject(rapidjson::kObjectType);
    static const rapidjson::Value emptyArray(rapidjson::kArrayType);
    return type == rapidjson::kObjectType ? emptyObject : emptyArray;
}

} // namespace

std::string DynamoDBUtil::GetStringValue(const rapidjson::Value& object, const std::string& key) const {
    if (verbose) std::printf("Looking for the key= %s\n", key.c_str());
    const rapidjson::Value* value = lookUp(object, key);
    if (!value) return "";
    if (!value->IsString()) wrongType(key, "a string");
    return std::string(value->GetString(), value->GetStringLength());
}

bool DynamoDBUtil::GetBoolean(const rapidjson::Value& object, const std::string& key) const {
    const rapidjson::Value* value = lookUp(object, key);
    if (!value) {
        if (verbose && object.IsObject() && !object.HasMember(key.c_str())) std::printf("key value pair not found %s\n", key.c_str());
        return false;
    }
    if (!value->IsBool()) wrongType(key, "a boolean");
    return value->GetBool();
}

int64_t DynamoDBUtil::GetIntValue(const rapidjson::Value& object, const std::string& key) const {
    const rapidjson::Value* value = lookUp(object, key);
    if (!value) {
        if (verbose && object.IsObject() && !object.HasMember(key.c_str())) std::printf("key value pair not found %s\n", key.c_str());
        return 0;
    }
    if (!value->IsInt64()) wrongType(key, "an integer");
    return value->GetInt64();
}

uint64_t DynamoDBUtil::GetUInt64Value(const rapidjson::Value& object, const std::string& key) const {
    const rapidjson::Value* value = lookUp(object, key);
    if (!value) {
        if (verbose && object.IsObject() && !object.HasMember(key.c_str())) std::printf("key value pair not found %s\n", key.c_str());
        return 0;
    }
    if (!value->IsUint64()) wrongType(key, "an unsigned integer");
    return value->GetUint64();
}

const rapidjson::Value& DynamoDBUtil::GetObjectValue(const rapidjson::Value& object, const std::string& key) const {
    const rapidjson::Value* value = lookUp(object, key);
    if (!value) return emptyValue(rapidjson::kObjectType);
    if (!value->IsObject()) wrongType(key, "an object");
    return *value;
}

const rapidjson::Value& DynamoDBUtil::GetArrayValue(const rapidjson::Value& object, const std::string& key) const {
    const rapidjson::Value* value = lookUp(object, key);
    if (!value) return emptyValue(rapidjson::kArrayType);
    if (!value->IsArray()) wrongType(key, "an array");
    return *value;
}
