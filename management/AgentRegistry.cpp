#include "management/AgentRegistry.h"

#include <cstring>
#include <string>

#include "platform/PlatformInfo.h"

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
