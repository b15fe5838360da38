#pragma once
// One DynamoDB table as DescribeTable reports it. Keeps a private deep copy
// of the whole description, exposes the fields the engines decide on, and
// turns a stored description back into a CreateTable request body.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>

struct ProvisionedThroughput {
    int64_t readCapacityUnits = 0;
    int64_t writeCapacityUnits = 0;
};

class TableDescription {
public:
    // Reads `table`: the table object of a DescribeTable, CreateTable or
    // UpdateTable answer, or the "table" member of a stored description.
    explicit TableDescription(const rapidjson::Value& table);
    TableDescription(const TableDescription& other);
    TableDescription& operator=(const TableDescription& other);

    // Re-reads every field from `table` and keeps a deep copy of it.
    void assign(const rapidjson::Value& table);

    // The compact CreateTable body for this table under `name` (empty: its
    // own name) with `throughput` (read units < 1: the stored capacities):
    // keys, billing, indexes, encryption, stream, table class and deletion
    // protection. A customer-managed KMS key is named only when it lives in
    // `destinationRegion` (a key cannot be used from another region).
    std::string createTableRequest(const std::string& name, const ProvisionedThroughput& throughput,
                                   const std::string& destinationRegion = "") const;

    // The table's key as a user reads it, such as "id (hash, S), at (range, N)":
    // two tables take the same items exactly when theirs are the same.
    std::string keyText() const;

    std::string tableArn;
    std::string tableName;
    std::string tableStatus;
    std::string latestStreamArn;
    std::string billingMode;
    std::vector<std::string> keySchema; // attribute names, hash key first
    int64_t tableSizeBytes = 0;
    int64_t itemCount = 0;
    double creationDateTime = 0.0;
    ProvisionedThroughput provisionedThroughput;
    std::map<std::string, ProvisionedThroughput> gsiThroughputs;
    rapidjson::Document json; // the whole description last assigned
};
