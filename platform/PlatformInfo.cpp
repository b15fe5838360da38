#include "platform/PlatformInfo.h"

#include <cstdlib>
#include <fstream>

bool HXPlatformInfo::getString(const std::string& subKey, const std::string& name, std::string& value) {
    const char* path = std::getenv("DDB_REGISTRY");
    if (!path || !*path) return false;
    std::ifstream file(path);
    const std::string wanted = subKey + "/" + name + "=";
    std::string line;
    bool found = false;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line.compare(0, wanted.size(), wanted) == 0) {
            value = line.substr(wanted.size()); // a later line overrides an earlier one
            found = true;
        }
    }
    return found;
}
