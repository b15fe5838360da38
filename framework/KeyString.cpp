#include "framework/KeyString.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "text/BoundedJson.h"
#include "text/LoneSurrogates.h"

std::string keyString(const std::string& itemJson, const std::vector<std::string>& keyNames) {
    rapidjson::Document item;
    const bool usable = parseBoundedJson(item, itemJson) && item.IsObject();
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartArray();
    for (const auto& name : keyNames) {
        auto found = usable ? item.FindMember(rapidjson::StringRef(name.c_str(), name.size())) : rapidjson::Value::MemberIterator();
        if (usable && found != item.MemberEnd())
            found->value.Accept(writer); // a key value has one member: its text is canonical
        else
            writer.Null();
    }
    writer.EndArray();
    escapeSurrogateBytes(buffer);
    return std::string(buffer.GetString(), buffer.GetSize());
}
