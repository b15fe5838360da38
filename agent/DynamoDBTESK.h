#pragma once
// Agent helpers the engines call: display names of tables and the
// registry reader.

#include <string>

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

// The agent utility's static helpers (the rest of the utility is not built yet).
class DynamoDBUtil {
public:
    // table + "[" + region + "]"
    static std::string toTableRegionString(const std::string& region, const std::string& table);
    // Host events of the restore: our host records them in the job log.
    static void minorEvent(TeskEnvironment& environment, const std::string& text);
    static void majorEvent(TeskEnvironment& environment, const std::string& text);
};
