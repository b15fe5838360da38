#include "dynamodb/JsonText.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "host/BoundedJson.h"
#include "host/LoneSurrogates.h"

namespace json_text {

std::string quoted(const std::string& text) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string compact(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    escapeSurrogateBytes(buffer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

bool parseObject(rapidjson::Document& document, const std::string& text) {
    return parseBoundedJson(document, text) && document.IsObject();
}

std::string stringMember(const rapidjson::Value& object, const char* name, const std::string& fallback) {
    if (!object.IsObject()) return fallback;
    auto member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsString()) return fallback;
    return std::string(member->value.GetString(), member->value.GetStringLength());
}

int64_t int64Member(const rapidjson::Value& object, const char* name, int64_t fallback) {
    if (!object.IsObject()) return fallback;
    auto member = object.FindMember(name);
    if (member == object.MemberEnd()) return fallback;
    if (member->value.IsInt64()) return member->value.GetInt64();
    if (member->value.IsUint64()) return static_cast<int64_t>(member->value.GetUint64());
    if (member->value.IsDouble()) return static_cast<int64_t>(member->value.GetDouble());
    return fallback;
}

} // namespace json_text
