#include "dynamodb/TableDescription.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "text/JsonText.h"

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

const rapidjson::Value* member(const rapidjson::Value& object, const char* name) {
    if (!object.IsObject()) return nullptr;
    auto found = object.FindMember(name);
    return found == object.MemberEnd() ? nullptr : &found->value;
}

ProvisionedThroughput readThroughput(const rapidjson::Value& object) {
    return ProvisionedThroughput{json_text::int64Member(object, "ReadCapacityUnits"),
                                 json_text::int64Member(object, "WriteCapacityUnits")};
}

void writeThroughput(Writer& writer, int64_t read, int64_t write) {
    writer.Key("ProvisionedThroughput");
    writer.StartObject();
    writer.Key("ReadCapacityUnits");
    writer.Int64(read);
    writer.Key("WriteCapacityUnits");
    writer.Int64(write);
    writer.EndObject();
}

void writeVerbatim(Writer& writer, const char* name, const rapidjson::Value* value) {
    writer.Key(name);
    if (value)
        value->Accept(writer);
    else
        writer.Null();
}

// The members every re-created index keeps: its name, key and projection.
void writeIndexShape(Writer& writer, const rapidjson::Value& index) {
    writer.Key("IndexName");
    std::string indexName = json_text::stringMember(index, "IndexName");
    writer.String(indexName.c_str(), static_cast<rapidjson::SizeType>(indexName.size()));
    writeVerbatim(writer, "KeySchema", member(index, "KeySchema"));
    writeVerbatim(writer, "Projection", member(index, "Projection"));
}

} // namespace

TableDescription::TableDescription(const rapidjson::Value& table) { assign(table); }

TableDescription::TableDescription(const TableDescription& other)
    : tableArn(other.tableArn), tableName(other.tableName), tableStatus(other.tableStatus),
      latestStreamArn(other.latestStreamArn), billingMode(other.billingMode), keySchema(other.keySchema),
      tableSizeBytes(other.tableSizeBytes), itemCount(other.itemCount), creationDateTime(other.creationDateTime),
      provisionedThroughput(other.provisionedThroughput), gsiThroughputs(other.gsiThroughputs) {
    json.CopyFrom(other.json, json.GetAllocator());
}

TableDescription& TableDescription::operator=(const TableDescription& other) {
    if (this == &other) return *this;
    tableArn = other.tableArn;
    tableName = other.tableName;
    tableStatus = other.tableStatus;
    latestStreamArn = other.latestStreamArn;
    billingMode = other.billingMode;
    keySchema = other.keySchema;
    tableSizeBytes = other.tableSizeBytes;
    itemCount = other.itemCount;
    creationDateTime = other.creationDateTime;
    provisionedThroughput = other.provisionedThroughput;
    gsiThroughputs = other.gsiThroughputs;
    rapidjson::Document fresh;
    fresh.CopyFrom(other.json, fresh.GetAllocator());
    json.Swap(fresh);
    return *this;
}

void TableDescription::assign(const rapidjson::Value& table) {
    // A fresh document each time, so repeated assigns do not grow the pool.
    rapidjson::Document copy;
    copy.CopyFrom(table, copy.GetAllocator());
    json.Swap(copy);

    tableName = json_text::stringMember(json, "TableName");
    tableArn = json_text::stringMember(json, "TableArn");
    tableStatus = json_text::stringMember(json, "TableStatus");
    latestStreamArn = json_text::stringMember(json, "LatestStreamArn");
    tableSizeBytes = json_text::int64Member(json, "TableSizeBytes");
    itemCount = json_text::int64Member(json, "ItemCount");
    const rapidjson::Value* created = member(json, "CreationDateTime");
    creationDateTime = created && created->IsNumber() ? created->GetDouble() : 0.0;

    keySchema.clear();
    if (const rapidjson::Value* keys = member(json, "KeySchema"); keys && keys->IsArray())
        for (const auto& key : keys->GetArray()) {
            // DynamoDB never sends a key element without a name; skip one if it comes.
            std::string name = json_text::stringMember(key, "AttributeName");
            if (!name.empty()) keySchema.push_back(name);
        }

    billingMode.clear();
    if (const rapidjson::Value* summary = member(json, "BillingModeSummary"))
        billingMode = json_text::stringMember(*summary, "BillingMode");

    if (const rapidjson::Value* throughput = member(json, "ProvisionedThroughput"))
        provisionedThroughput = readThroughput(*throughput);

    gsiThroughputs.clear();
    if (const rapidjson::Value* indexes = member(json, "GlobalSecondaryIndexes"); indexes && indexes->IsArray())
        for (const auto& index : indexes->GetArray()) {
            std::string name = json_text::stringMember(index, "IndexName");
            if (name.empty()) continue;
            const rapidjson::Value* throughput = member(index, "ProvisionedThroughput");
            gsiThroughputs[name] = throughput ? readThroughput(*throughput) : ProvisionedThroughput{};
        }
}

std::string TableDescription::keyText() const {
    std::map<std::string, std::string> types;
    if (const rapidjson::Value* definitions = member(json, "AttributeDefinitions"); definitions && definitions->IsArray())
        for (const auto& definition : definitions->GetArray())
            types[json_text::stringMember(definition, "AttributeName")] = json_text::stringMember(definition, "AttributeType");
    std::string text;
    if (const rapidjson::Value* keys = member(json, "KeySchema"); keys && keys->IsArray())
        for (const auto& key : keys->GetArray()) {
            const std::string name = json_text::stringMember(key, "AttributeName");
            if (!text.empty()) text += ", ";
            text += name + " (" + (json_text::stringMember(key, "KeyType") == "RANGE" ? "range" : "hash") + ", " +
                    types[name] + ")";
        }
    return text;
}

std::string TableDescription::createTableRequest(const std::string& name, const ProvisionedThroughput& throughput,
                                                 const std::string& destinationRegion) const {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    writer.Key("TableName");
    const std::string& chosen = name.empty() ? tableName : name;
    writer.String(chosen.c_str(), static_cast<rapidjson::SizeType>(chosen.size()));
    writeVerbatim(writer, "AttributeDefinitions", member(json, "AttributeDefinitions"));
    writeVerbatim(writer, "KeySchema", member(json, "KeySchema"));

    const bool onDemand = billingMode == "PAY_PER_REQUEST";
    const bool given = throughput.readCapacityUnits >= 1;
    if (onDemand) {
        writer.Key("BillingMode");
        writer.String("PAY_PER_REQUEST");
    } else {
        ProvisionedThroughput table = given ? throughput : provisionedThroughput;
        writeThroughput(writer, std::max<int64_t>(table.readCapacityUnits, 1),
                        std::max<int64_t>(table.writeCapacityUnits, 1));
    }

    if (const rapidjson::Value* indexes = member(json, "GlobalSecondaryIndexes"); indexes && indexes->IsArray()) {
        writer.Key("GlobalSecondaryIndexes");
        writer.StartArray();
        for (const auto& index : indexes->GetArray()) {
            writer.StartObject();
            writeIndexShape(writer, index);
            if (!onDemand) {
                if (given) {
                    writeThroughput(writer, throughput.readCapacityUnits,
                                    std::max<int64_t>(throughput.writeCapacityUnits, 1));
                } else {
                    const rapidjson::Value* stored = member(index, "ProvisionedThroughput");
                    ProvisionedThroughput own = stored ? readThroughput(*stored) : ProvisionedThroughput{};
                    writeThroughput(writer, std::max<int64_t>(own.readCapacityUnits, 1),
                                    std::max<int64_t>(own.writeCapacityUnits, 1));
                }
            }
            writer.EndObject();
        }
        writer.EndArray();
    }

    if (const rapidjson::Value* indexes = member(json, "LocalSecondaryIndexes"); indexes && indexes->IsArray()) {
        writer.Key("LocalSecondaryIndexes");
        writer.StartArray();
        for (const auto& index : indexes->GetArray()) {
            writer.StartObject();
            writeIndexShape(writer, index);
            writer.EndObject();
        }
        writer.EndArray();
    }

    if (const rapidjson::Value* sse = member(json, "SSEDescription")) {
        std::string status = json_text::stringMember(*sse, "Status");
        if (status == "ENABLING" || status == "ENABLED") {
            writer.Key("SSESpecification");
            writer.StartObject();
            writer.Key("Enabled");
            writer.Bool(true);
            const std::string key = json_text::stringMember(*sse, "KMSMasterKeyArn");
            // arn:PARTITION:kms:REGION:ACCOUNT:key/ID
            const size_t regionStart = key.find(":kms:");
            const std::string keyRegion =
                regionStart == std::string::npos ? "" : key.substr(regionStart + 5, key.find(':', regionStart + 5) - regionStart - 5);
            if (!destinationRegion.empty() && keyRegion == destinationRegion) {
                writer.Key("SSEType");
                writer.String("KMS");
                writer.Key("KMSMasterKeyId");
                writer.String(key.c_str(), static_cast<rapidjson::SizeType>(key.size()));
            }
            writer.EndObject();
        }
    }
    if (const rapidjson::Value* stream = member(json, "StreamSpecification"))
        writeVerbatim(writer, "StreamSpecification", stream);
    if (const rapidjson::Value* tableClass = member(json, "TableClassSummary")) {
        const std::string value = json_text::stringMember(*tableClass, "TableClass");
        if (!value.empty()) {
            writer.Key("TableClass");
            writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
        }
    }
    if (const rapidjson::Value* protection = member(json, "DeletionProtectionEnabled");
        protection && protection->IsBool() && protection->GetBool()) {
        writer.Key("DeletionProtectionEnabled");
        writer.Bool(true);
    }

    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}
