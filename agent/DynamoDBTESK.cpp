#include "agent/DynamoDBTESK.h"

#include <cstring>

#include "host/PlatformInfo.h"

namespace DynamoDBTESK {

int GetRegistryItemValue(const char* name, char* value, unsigned int size, const char*, bool useKestoKey,
                         const char* subKey) {
    if (!value) return -1;
    if (size > 0) value[0] = '\0';
    const std::string key = useKestoKey ? c_kestoServ : (subKey ? subKey : c_dynamoSubKey);
    std::string found;
    if (!name || !HXPlatformInfo::getString(key, name, found)) return -1;
    if (size > 0) {
        std::strncpy(value, found.c_str(), size - 1);
        value[size - 1] = '\0';
    }
    return 0;
}

} // namespace DynamoDBTESK

CZoError DynamoDBUtil::getTables(std::vector<App::DynamoDBTable>*& out) {
    out = config.getTables();
    if (out->empty()) return CZO_ERROR(774, "There are no tables in the config");
    return CZoError();
}

void DynamoDBUtil::toRegionTablePair(const std::string& region, const std::string& table, std::string& out) {
    out = region + "\t" + table;
}

void DynamoDBUtil::fromRegionTablePair(const std::string& pair, std::string& region, std::string& table) {
    const size_t tab = pair.find('\t');
    region = pair.substr(0, tab);
    table.clear();
    if (tab == std::string::npos) return;
    const size_t next = pair.find('\t', tab + 1);
    table = pair.substr(tab + 1, next == std::string::npos ? std::string::npos : next - tab - 1);
}

std::string DynamoDBUtil::toTableRegionString(const std::string& region, const std::string& table) {
    return table + "[" + region + "]";
}

void DynamoDBUtil::minorEvent(TeskEnvironment& environment, const std::string& text) {
    environment.log("minorEvent", "event 0x4800006A (minor): " + text);
}

void DynamoDBUtil::majorEvent(TeskEnvironment& environment, const std::string& text) {
    environment.log("majorEvent", "event 0x4800006A (major): " + text);
}

