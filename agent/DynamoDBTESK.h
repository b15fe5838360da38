#pragma once
// Agent helpers the engines call: display names of tables and the
// registry reader.

#include <string>

#include <vector>

#include "agent/DynamoDBConfig.h"
#include "host/CZoError.h"
#include "host/TeskEnvironment.h"

namespace DynamoDBTESK {

constexpr const char* c_dynamoSubKey = "DynamoDB";
constexpr const char* c_kestoServ = "Kesto";

// Reads `name` under `subKey` (null: "DynamoDB"; `useKestoKey`: "Kesto")
// into `value` (at most `size` bytes with its terminator). 0 when found,
// -1 otherwise or for a null buffer. `reserved` plays no part.
int GetRegistryItemValue(const char* name, char* value, unsigned int size, const char* reserved, bool useKestoKey,
                         const char* subKey);

} // namespace DynamoDBTESK

// The agent utility: its configuration and helpers. (Job initialisation from
// the host's management objects is not built yet.)
class DynamoDBUtil {
public:
    DynamoDBTESK::DynamoDBConfig* getDynamoDBConfig() { return &config; }
    // The tables to protect; fails (774) when the configuration has none.
    CZoError getTables(std::vector<App::DynamoDBTable>*& out);

    // table + "[" + region + "]"
    static std::string toTableRegionString(const std::string& region, const std::string& table);
    // region + TAB + table, and back (the first two TAB-separated pieces; a
    // text without a TAB is all region).
    static void toRegionTablePair(const std::string& region, const std::string& table, std::string& out);
    static void fromRegionTablePair(const std::string& pair, std::string& region, std::string& table);
    // Host events of the restore: our host records them in the job log.
    static void minorEvent(TeskEnvironment& environment, const std::string& text);
    static void majorEvent(TeskEnvironment& environment, const std::string& text);

private:
    DynamoDBTESK::DynamoDBConfig config;
};
