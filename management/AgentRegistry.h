#pragma once
// The agent's registry values, as the host keeps them (our host: the
// platform settings, see PlatformInfo).

namespace DynamoDBTESK {

constexpr const char* c_dynamoSubKey = "DynamoDB";
constexpr const char* c_kestoServ = "Kesto";

// Reads `name` under `subKey` (null: "DynamoDB"; `useKestoKey`: "Kesto")
// into `value` (at most `size` bytes with its terminator). 0 when found,
// -1 otherwise or for a null buffer. `reserved` plays no part.
int GetRegistryItemValue(const char* name, char* value, unsigned int size, const char* reserved, bool useKestoKey,
                         const char* subKey);

} // namespace DynamoDBTESK
