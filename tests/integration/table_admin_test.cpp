// Table administration through the real HTTP path and the endpoint override,
// against the local DynamoDB endpoint.

#include <gtest/gtest.h>

#include <algorithm>

#include "dynamodb/AwsDynamoDBService.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "tests/support/LocalDynamo.h"

namespace {

// DynamoDB wants exactly the attributes that some key uses: "d" only with an index.
std::string createBody(const std::string& name, const std::string& extra) {
    const bool indexed = extra.find("SecondaryIndexes") != std::string::npos;
    return R"({"TableName":")" + name + R"(","AttributeDefinitions":[{"AttributeName":"id","AttributeType":"S"},)" +
           (indexed ? R"({"AttributeName":"d","AttributeType":"S"},)" : "") +
           R"({"AttributeName":"t","AttributeType":"N"}],"KeySchema":[{"AttributeName":"id","KeyType":"HASH"},)"
           R"({"AttributeName":"t","KeyType":"RANGE"}])" +
           extra + "}";
}

const std::string kProvisioned = R"(,"ProvisionedThroughput":{"ReadCapacityUnits":5,"WriteCapacityUnits":4})";
const std::string kGsi =
    R"(,"GlobalSecondaryIndexes":[{"IndexName":"byD","KeySchema":[{"AttributeName":"d","KeyType":"HASH"}],)"
    R"("Projection":{"ProjectionType":"ALL"},"ProvisionedThroughput":{"ReadCapacityUnits":2,"WriteCapacityUnits":2}}])";
const std::string kLsi =
    R"(,"LocalSecondaryIndexes":[{"IndexName":"byIdD","KeySchema":[{"AttributeName":"id","KeyType":"HASH"},)"
    R"({"AttributeName":"d","KeyType":"RANGE"}],"Projection":{"ProjectionType":"KEYS_ONLY"}}])";

struct AdminFixture : ::testing::Test {
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    TeskPrototypeEnvironment environment{"admin", log};
    AmazonCredentials credentials = localCredentials();
};

TEST_F(AdminFixture, EveryTableShapeRoundTripsThroughDescribeAndCreateTableRequest) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, environment);
    const std::vector<std::string> shapes = {
        kProvisioned,
        R"(,"BillingMode":"PAY_PER_REQUEST")",
        kProvisioned + kGsi,
        kProvisioned + kLsi,
        kProvisioned + R"(,"SSESpecification":{"Enabled":true})",
        kProvisioned + R"(,"StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_IMAGE"})",
    };
    for (const auto& shape : shapes) {
        const std::string name = uniqueTableName("shape");
        auto created = service.createTable(createBody(name, shape));
        ASSERT_TRUE(created.isSuccess()) << shape << " " << created.errorMessage;
        ASSERT_TRUE(service.waitForActiveTable(name, 300));
        auto described = service.describeTable(name);
        ASSERT_TRUE(described.isSuccess()) << described.errorMessage;
        const TableDescription& table = *described.result;
        EXPECT_EQ(table.tableName, name);
        EXPECT_EQ(table.keySchema, (std::vector<std::string>{"id", "t"}));

        // Re-creating the described table under another name gives the same shape.
        const std::string copyName = uniqueTableName("copy");
        auto copy = service.createTable(table.createTableRequest(copyName, {0, 0}));
        ASSERT_TRUE(copy.isSuccess()) << copy.errorMessage;
        auto copied = service.describeTable(copyName);
        ASSERT_TRUE(copied.isSuccess());
        EXPECT_EQ(copied.result->createTableRequest(name, {0, 0}), table.createTableRequest("", {0, 0})) << shape;
        if (shape.find("Stream") != std::string::npos) {
            EXPECT_FALSE(table.latestStreamArn.empty());
        }
        if (shape.find("SSE") != std::string::npos) {
            EXPECT_NE(table.createTableRequest("", {}).find(R"("SSESpecification":{"Enabled":true})"),
                      std::string::npos);
        }
        if (shape.find("PAY_PER_REQUEST") != std::string::npos) {
            EXPECT_EQ(table.billingMode, "PAY_PER_REQUEST");
        }

        ASSERT_TRUE(service.deleteTable(name).isSuccess());
        ASSERT_TRUE(service.deleteTable(copyName).isSuccess());
        EXPECT_TRUE(service.waitForDeletedTable(name, 300));
    }
}

TEST_F(AdminFixture, ThroughputUpdatesInBothForms) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, environment);
    const std::string name = uniqueTableName("throughput");
    ASSERT_TRUE(service.createTable(createBody(name, kProvisioned + kGsi)).isSuccess());
    ASSERT_TRUE(service.waitForActiveTable(name, 300));

    auto raised = service.updateTableThroughputs(name, ProvisionedThroughput{50, 4});
    ASSERT_TRUE(raised.isSuccess()) << raised.errorMessage;
    ASSERT_TRUE(service.waitForActiveTable(name, 300));
    EXPECT_EQ(service.describeTable(name).result->provisionedThroughput.readCapacityUnits, 50);

    auto index = service.updateTableThroughputs(name, std::map<std::string, ProvisionedThroughput>{{"byD", {7, 6}}});
    ASSERT_TRUE(index.isSuccess()) << index.errorMessage;
    ASSERT_TRUE(service.waitForActiveTable(name, 300));
    auto described = service.describeTable(name);
    EXPECT_EQ(described.result->gsiThroughputs["byD"].readCapacityUnits, 7);
    EXPECT_EQ(described.result->gsiThroughputs["byD"].writeCapacityUnits, 6);
    service.deleteTable(name);
}

TEST_F(AdminFixture, MissingTableIsResourceNotFoundAndDeletedWaitReturnsAtOnce) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, environment);
    auto missing = service.describeTable(uniqueTableName("missing"));
    EXPECT_EQ(missing.errorType, ResourceNotFound);
    EXPECT_TRUE(service.waitForDeletedTable(uniqueTableName("missing"), 300));
    EXPECT_FALSE(log->contains("waitForDeletedTable sleeping"));
}

TEST_F(AdminFixture, ListingFollowsPagesAndGlobalTablesAndTags) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBService service(credentials, environment);
    std::vector<std::string> created;
    for (int i = 0; i < 5; ++i) {
        created.push_back(uniqueTableName("list"));
        ASSERT_TRUE(service.createTable(createBody(created.back(), kProvisioned)).isSuccess());
    }
    service.setListPageSize(2);
    std::vector<std::string> names;
    ASSERT_TRUE(service.listTables(names));
    for (const auto& name : created) EXPECT_EQ(std::count(names.begin(), names.end(), name), 1) << name;

    // Global tables, registered through the endpoint's CreateGlobalTable.
    AmazonRequest request = service.baseRequest("CreateGlobalTable", false);
    request.body = R"({"GlobalTableName":")" + created[0] +
                   R"(","ReplicationGroup":[{"RegionName":"us-east-1"},{"RegionName":"eu-west-1"}]})";
    AwsRequestService sender(environment);
    ASSERT_EQ(sender.executeRequest(request, 50, 60000).httpCode, 200);
    std::multimap<std::string, std::set<std::string>> global;
    ASSERT_TRUE(service.listGlobalTables(global));
    auto entry = global.find(created[0]);
    ASSERT_NE(entry, global.end());
    EXPECT_EQ(entry->second, (std::set<std::string>{"eu-west-1", "us-east-1"}));

    // Tags.
    auto described = service.describeTable(created[1]);
    AmazonRequest tag = service.baseRequest("TagResource", false);
    tag.body = R"({"ResourceArn":")" + described.result->tableArn +
               R"(","Tags":[{"Key":"team","Value":"storage"},{"Key":"tier","Value":"gold"}]})";
    ASSERT_EQ(sender.executeRequest(tag, 50, 60000).httpCode, 200);
    std::map<std::string, std::string> tags;
    ASSERT_TRUE(service.listTagsOnTable(created[1], tags));
    EXPECT_EQ(tags, (std::map<std::string, std::string>{{"team", "storage"}, {"tier", "gold"}}));
    EXPECT_FALSE(service.listTagsOnTable(uniqueTableName("missing"), tags));
    EXPECT_EQ(environment.getFailure(), "unable to obtain table description");

    for (const auto& name : created) service.deleteTable(name);
}

} // namespace
