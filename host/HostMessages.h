#pragma once
// Host message types the agent exchanges with its controllers.

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
