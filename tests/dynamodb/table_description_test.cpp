// TableDescription: what it reads from a description and the CreateTable
// body it writes back, byte for byte.

#include <gtest/gtest.h>

#include "dynamodb/TableDescription.h"

namespace {

rapidjson::Document parse(const std::string& text) {
    rapidjson::Document document;
    document.Parse(text.c_str());
    EXPECT_FALSE(document.HasParseError()) << text;
    return document;
}

const char* kKeys = R"("AttributeDefinitions":[{"AttributeName":"id","AttributeType":"S"}],)"
                    R"("KeySchema":[{"AttributeName":"id","KeyType":"HASH"}])";

struct CreateCase {
    const char* name;
    std::string description;
    ProvisionedThroughput throughput;
    std::string newName;
    std::string expected;
    std::string destinationRegion = "";
};

void PrintTo(const CreateCase& c, std::ostream* out) { *out << c.name; }

class CreateTableRequest : public ::testing::TestWithParam<CreateCase> {};

TEST_P(CreateTableRequest, IsWrittenExactly) {
    const CreateCase& c = GetParam();
    auto document = parse(c.description);
    TableDescription table(document);
    EXPECT_EQ(table.createTableRequest(c.newName, c.throughput, c.destinationRegion), c.expected);
}

const std::string kGsi =
    R"("GlobalSecondaryIndexes":[{"IndexName":"byDate","KeySchema":[{"AttributeName":"d","KeyType":"HASH"}],)"
    R"("Projection":{"ProjectionType":"ALL"},"IndexStatus":"ACTIVE","ProvisionedThroughput":{"ReadCapacityUnits":0,)"
    R"("WriteCapacityUnits":3},"IndexSizeBytes":10,"ItemCount":1,"IndexArn":"arn:x"}])";
const std::string kLsi =
    R"("LocalSecondaryIndexes":[{"IndexName":"byTime","KeySchema":[{"AttributeName":"id","KeyType":"HASH"},)"
    R"({"AttributeName":"t","KeyType":"RANGE"}],"Projection":{"ProjectionType":"KEYS_ONLY"},"IndexSizeBytes":0}])";

INSTANTIATE_TEST_SUITE_P(
    Shapes, CreateTableRequest,
    ::testing::Values(
        CreateCase{"ProvisionedKeepsStoredUnits",
                   std::string(R"({"TableName":"orders",)") + kKeys +
                       R"(,"TableStatus":"ACTIVE","ProvisionedThroughput":{"ReadCapacityUnits":7,"WriteCapacityUnits":3}})",
                   {0, 0}, "",
                   std::string(R"({"TableName":"orders",)") + kKeys +
                       R"(,"ProvisionedThroughput":{"ReadCapacityUnits":7,"WriteCapacityUnits":3}})"},
        CreateCase{"ZeroStoredUnitsBecomeOne",
                   std::string(R"({"TableName":"orders",)") + kKeys +
                       R"(,"ProvisionedThroughput":{"ReadCapacityUnits":0,"WriteCapacityUnits":0}})",
                   {0, 0}, "",
                   std::string(R"({"TableName":"orders",)") + kKeys +
                       R"(,"ProvisionedThroughput":{"ReadCapacityUnits":1,"WriteCapacityUnits":1}})"},
        CreateCase{"GivenUnitsReachTableAndIndexes",
                   std::string(R"({"TableName":"orders",)") + kKeys + "," + kGsi + "," + kLsi +
                       R"(,"ProvisionedThroughput":{"ReadCapacityUnits":1,"WriteCapacityUnits":1}})",
                   {10, 5}, "copy",
                   std::string(R"({"TableName":"copy",)") + kKeys +
                       R"(,"ProvisionedThroughput":{"ReadCapacityUnits":10,"WriteCapacityUnits":5},)"
                       R"("GlobalSecondaryIndexes":[{"IndexName":"byDate","KeySchema":[{"AttributeName":"d","KeyType":"HASH"}],)"
                       R"("Projection":{"ProjectionType":"ALL"},"ProvisionedThroughput":{"ReadCapacityUnits":10,"WriteCapacityUnits":5}}],)"
                       R"("LocalSecondaryIndexes":[{"IndexName":"byTime","KeySchema":[{"AttributeName":"id","KeyType":"HASH"},)"
                       R"({"AttributeName":"t","KeyType":"RANGE"}],"Projection":{"ProjectionType":"KEYS_ONLY"}}]})"},
        CreateCase{"IndexKeepsItsOwnUnitsRaisedToOne",
                   std::string(R"({"TableName":"orders",)") + kKeys + "," + kGsi + "}", {0, 0}, "",
                   std::string(R"({"TableName":"orders",)") + kKeys +
                       R"(,"ProvisionedThroughput":{"ReadCapacityUnits":1,"WriteCapacityUnits":1},)"
                       R"("GlobalSecondaryIndexes":[{"IndexName":"byDate","KeySchema":[{"AttributeName":"d","KeyType":"HASH"}],)"
                       R"("Projection":{"ProjectionType":"ALL"},"ProvisionedThroughput":{"ReadCapacityUnits":1,"WriteCapacityUnits":3}}]})"},
        CreateCase{"OnDemandHasNoThroughputAnywhere",
                   std::string(R"({"TableName":"orders",)") + kKeys + "," + kGsi +
                       R"(,"BillingModeSummary":{"BillingMode":"PAY_PER_REQUEST"},"ProvisionedThroughput":{"ReadCapacityUnits":0,"WriteCapacityUnits":0}})",
                   {10, 5}, "",
                   std::string(R"({"TableName":"orders",)") + kKeys +
                       R"(,"BillingMode":"PAY_PER_REQUEST","GlobalSecondaryIndexes":[{"IndexName":"byDate",)"
                       R"("KeySchema":[{"AttributeName":"d","KeyType":"HASH"}],"Projection":{"ProjectionType":"ALL"}}]})"},
        CreateCase{"EncryptionAndStreamCarriedOver",
                   std::string(R"({"TableName":"orders",)") + kKeys +
                       R"(,"SSEDescription":{"Status":"ENABLED","SSEType":"KMS","KMSMasterKeyArn":"arn:k"},)"
                       R"("StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_AND_OLD_IMAGES"},"LatestStreamArn":"arn:s"})",
                   {2, 2}, "",
                   std::string(R"({"TableName":"orders",)") + kKeys +
                       R"(,"ProvisionedThroughput":{"ReadCapacityUnits":2,"WriteCapacityUnits":2},"SSESpecification":{"Enabled":true},)"
                       R"("StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_AND_OLD_IMAGES"}})"},
        CreateCase{"ClassProtectionAndKeyOfTheSameRegionCarriedOver",
                   std::string(R"({"TableName":"orders",)") + kKeys +
                       R"(,"SSEDescription":{"Status":"ENABLED","SSEType":"KMS","KMSMasterKeyArn":"arn:aws:kms:us-east-1:1:key/k"},)"
                       R"("TableClassSummary":{"TableClass":"STANDARD_INFREQUENT_ACCESS"},"DeletionProtectionEnabled":true})",
                   {2, 2}, "",
                   std::string(R"({"TableName":"orders",)") + kKeys +
                       R"(,"ProvisionedThroughput":{"ReadCapacityUnits":2,"WriteCapacityUnits":2},)"
                       R"("SSESpecification":{"Enabled":true,"SSEType":"KMS","KMSMasterKeyId":"arn:aws:kms:us-east-1:1:key/k"},)"
                       R"("TableClass":"STANDARD_INFREQUENT_ACCESS","DeletionProtectionEnabled":true})",
                   "us-east-1"},
        CreateCase{"KeyOfAnotherRegionIsLeftToTheDefault",
                   std::string(R"({"TableName":"orders",)") + kKeys +
                       R"(,"SSEDescription":{"Status":"ENABLED","SSEType":"KMS","KMSMasterKeyArn":"arn:aws:kms:eu-west-1:1:key/k"},)"
                       R"("DeletionProtectionEnabled":false})",
                   {2, 0}, "",
                   std::string(R"({"TableName":"orders",)") + kKeys +
                       R"(,"ProvisionedThroughput":{"ReadCapacityUnits":2,"WriteCapacityUnits":1},"SSESpecification":{"Enabled":true}})",
                   "us-east-1"},
        CreateCase{"DisabledEncryptionWritesNothing",
                   std::string(R"({"TableName":"orders",)") + kKeys + R"(,"SSEDescription":{"Status":"DISABLED"}})",
                   {2, 2}, "",
                   std::string(R"({"TableName":"orders",)") + kKeys +
                       R"(,"ProvisionedThroughput":{"ReadCapacityUnits":2,"WriteCapacityUnits":2}})"},
        CreateCase{"EmptyDescriptionGivesNulls", "{}", {0, 0}, "",
                   R"({"TableName":"","AttributeDefinitions":null,"KeySchema":null,)"
                   R"("ProvisionedThroughput":{"ReadCapacityUnits":1,"WriteCapacityUnits":1}})"}),
    [](const ::testing::TestParamInfo<CreateCase>& info) { return std::string(info.param.name); });

TEST(TableDescription, ReadsTheModelledFields) {
    auto document = parse(
        R"({"TableArn":"arn:t","TableName":"orders","TableStatus":"ACTIVE","LatestStreamArn":"arn:s",)"
        R"("KeySchema":[{"AttributeName":"pk","KeyType":"HASH"},{"AttributeName":"sk","KeyType":"RANGE"}],)"
        R"("TableSizeBytes":12345678901,"ItemCount":42,"CreationDateTime":1700000000,)"
        R"("BillingModeSummary":{"BillingMode":"PROVISIONED"},"ProvisionedThroughput":{"ReadCapacityUnits":5},)" +
        kGsi + "}");
    TableDescription table(document);
    EXPECT_EQ(table.tableArn, "arn:t");
    EXPECT_EQ(table.tableStatus, "ACTIVE");
    EXPECT_EQ(table.latestStreamArn, "arn:s");
    EXPECT_EQ(table.keySchema, (std::vector<std::string>{"pk", "sk"}));
    EXPECT_EQ(table.tableSizeBytes, 12345678901);
    EXPECT_EQ(table.itemCount, 42);
    EXPECT_DOUBLE_EQ(table.creationDateTime, 1700000000.0);
    EXPECT_EQ(table.billingMode, "PROVISIONED");
    EXPECT_EQ(table.provisionedThroughput.readCapacityUnits, 5);
    EXPECT_EQ(table.provisionedThroughput.writeCapacityUnits, 0);
    ASSERT_EQ(table.gsiThroughputs.count("byDate"), 1u);
    EXPECT_EQ(table.gsiThroughputs["byDate"].writeCapacityUnits, 3);
}

// Tables whose key texts match take each other's items: the text holds
// every part of the key, its role and its type, and nothing else.
TEST(TableDescription, KeyTextTellsTablesThatTakeTheSameItemsApart) {
    auto keyText = [](const std::string& keys, const std::string& definitions) {
        return TableDescription(parse(R"({"TableName":"t","KeySchema":)" + keys + R"(,"AttributeDefinitions":)" +
                                      definitions + "}"))
            .keyText();
    };
    const std::string pkSk = R"([{"AttributeName":"pk","KeyType":"HASH"},{"AttributeName":"sk","KeyType":"RANGE"}])";
    const std::string types = R"([{"AttributeName":"sk","AttributeType":"N"},{"AttributeName":"pk","AttributeType":"S"},)"
                              R"({"AttributeName":"gsiKey","AttributeType":"B"}])";
    EXPECT_EQ(keyText(pkSk, types), "pk (hash, S), sk (range, N)");
    // Another type, role or name, or a part more or less, is another key.
    const std::string pk = R"([{"AttributeName":"pk","KeyType":"HASH"}])";
    for (const std::string& other :
         {keyText(pkSk, R"([{"AttributeName":"pk","AttributeType":"S"},{"AttributeName":"sk","AttributeType":"S"}])"),
          keyText(R"([{"AttributeName":"sk","KeyType":"HASH"},{"AttributeName":"pk","KeyType":"RANGE"}])", types),
          keyText(pk, types), keyText(R"([{"AttributeName":"id","KeyType":"HASH"}])", types)})
        EXPECT_NE(other, keyText(pkSk, types));
    // Definitions of index keys do not count.
    EXPECT_EQ(keyText(pk, types), keyText(pk, R"([{"AttributeName":"pk","AttributeType":"S"}])"));
}

TEST(TableDescription, ReassignRereadsEverythingButAbsentThroughput) {
    auto first = parse(std::string(R"({"TableName":"a","ProvisionedThroughput":{"ReadCapacityUnits":9,"WriteCapacityUnits":8},)") +
                       kGsi + R"(,"KeySchema":[{"AttributeName":"x"}]})");
    auto second = parse(R"({"TableName":"b","KeySchema":[{"AttributeName":"y"}]})");
    TableDescription table(first);
    table.assign(second);
    EXPECT_EQ(table.tableName, "b");
    EXPECT_EQ(table.keySchema, (std::vector<std::string>{"y"}));
    EXPECT_TRUE(table.gsiThroughputs.empty());
    EXPECT_EQ(table.provisionedThroughput.readCapacityUnits, 9);
    EXPECT_FALSE(table.json.HasMember("GlobalSecondaryIndexes"));
}

TEST(TableDescription, CopiesAreDeepAndIndependent) {
    auto document = parse(std::string(R"({"TableName":"orders",)") + kKeys + "}");
    auto original = std::make_unique<TableDescription>(document);
    TableDescription copy(*original);
    TableDescription assigned(parse("{}"));
    assigned = *original;
    original.reset();
    EXPECT_EQ(copy.createTableRequest("", {}), assigned.createTableRequest("", {}));
    EXPECT_EQ(copy.json["KeySchema"][0]["AttributeName"].GetString(), std::string("id"));
}

} // namespace
