#pragma once
// Host message types the agent exchanges with its controllers.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace DistributedTESK {

// One name/value pair of a task's parameters (field 1 name, field 2 value).
class DINameValue {
public:
    const std::string& name() const { return name_; }
    const std::string& value() const { return value_; }
    void set_name(const std::string& name) { name_ = name; }
    void set_value(const std::string& value) { value_ = value; }

private:
    std::string name_;
    std::string value_;
};

} // namespace DistributedTESK

namespace HxEntities {

// A client as the host names it: field 0 its id, field 1 its short name.
struct ClientEntity {
    int64_t clientId = 0;
    std::string clientName;
};

} // namespace HxEntities

// The program arguments the host starts an agent process with ("-a 2:17" ...).
class CProgramArguments {
public:
    void set(const std::string& name, const std::string& value) { values_[name] = value; }
    // False when the argument was not given.
    bool getValue(const std::string& name, std::string& value) const {
        auto found = values_.find(name);
        if (found == values_.end()) return false;
        value = found->second;
        return true;
    }

private:
    std::map<std::string, std::string> values_;
};
using CProgramArgumentsPtr = std::shared_ptr<CProgramArguments>;

namespace App {

// One table to protect, as the subclient configuration lists it.
struct DynamoDBTable {
    std::string region;
    std::string tableName;
    bool operator==(const DynamoDBTable& other) const {
        return region == other.region && tableName == other.tableName;
    }
};

} // namespace App
