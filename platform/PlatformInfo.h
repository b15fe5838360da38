#pragma once
// The host's platform settings ("registry"): named values under sub-keys.
// Our host keeps them in a text file named by DDB_REGISTRY, one setting per
// line as "<sub-key>/<name>=<value>"; lines starting with '#' are comments.

#include <string>

class HXPlatformInfo {
public:
    // The value of `name` under `subKey`; false when there is none (or no file).
    static bool getString(const std::string& subKey, const std::string& name, std::string& value);
};
