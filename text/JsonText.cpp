#include "text/JsonText.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "text/BoundedJson.h"
#include "text/LoneSurrogates.h"

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

bool wholeNumber(const rapidjson::Value& value, int64_t& whole) {
    if (value.IsInt64()) {
        whole = value.GetInt64();
        return true;
    }
    if (value.IsDouble()) {
        // Checked before the conversion: a double beyond int64 converts to
        // anything at all.
        const double number = value.GetDouble();
        if (!(number > -9223372036854775808.0 && number < 9223372036854775808.0)) return false;
        whole = static_cast<int64_t>(number);
        return true;
    }
    return false; // a uint64 beyond int64 included
}

int64_t int64Member(const rapidjson::Value& object, const char* name, int64_t fallback) {
    if (!object.IsObject()) return fallback;
    auto member = object.FindMember(name);
    int64_t whole = 0;
    return member != object.MemberEnd() && wholeNumber(member->value, whole) ? whole : fallback;
}

} // namespace json_text
