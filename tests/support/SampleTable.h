#pragma once
// A table on the local endpoint holding items of every DynamoDB attribute
// type, for the backup tests.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dynamodb/AwsDynamoDBService.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "tests/support/LocalDynamo.h"

// Item i: every attribute type, awkward strings, and every 500th item near
// the 400 KB item limit.
inline std::string sampleItem(int i) {
    std::string big = i % 500 == 7 ? std::string(380 * 1024, 'z') : "short";
    return R"({"id":{"S":"item-)" + std::to_string(i) + R"("},"n":{"N":"12345678901234567890123456789012345678"},)"
           R"("text":{"S":"line\nfeed \"quoted\" tab\t ctl\u0001 é ü 中文 )" + std::to_string(i) + R"("},)"
           R"("bin":{"B":"AAECAwQFBgc="},"ss":{"SS":["a","b"]},"ns":{"NS":["1","2.5"]},"bs":{"BS":["AQ==","Ag=="]},)"
           R"("map":{"M":{"nested":{"L":[{"S":"x"},{"N":"-1"},{"NULL":true},{"BOOL":true}]}}},)"
           R"("nul":{"NULL":true},"flag":{"BOOL":false},"big":{"S":")" + big + R"("}})";
}

// A CreateTable body for `table` keyed by the string "id", with `settings`
// (billing, stream, ...) as further members.
inline std::string createTableBody(const std::string& table, const std::string& settings) {
    return R"({"TableName":")" + table +
           R"(","AttributeDefinitions":[{"AttributeName":"id","AttributeType":"S"}],"KeySchema":[{"AttributeName":"id","KeyType":"HASH"}],)" +
           settings + "}";
}

constexpr const char* kOnDemandWithStream =
    R"("BillingMode":"PAY_PER_REQUEST","StreamSpecification":{"StreamEnabled":true,"StreamViewType":"NEW_AND_OLD_IMAGES"})";

// Creates a provisioned (5/5) table named `table` with `items` sample items.
inline void createSampleTable(const std::string& table, int items) {
    ScopedEnv scope("AWS_ENDPOINT_URL", localDynamoEndpoint());
    TeskPrototypeEnvironment environment("setup", std::make_shared<MemoryLogSink>());
    AmazonCredentials credentials = localCredentials();
    AwsDynamoDBService service(credentials, environment);
    auto created =
        service.createTable(createTableBody(table, R"("ProvisionedThroughput":{"ReadCapacityUnits":5,"WriteCapacityUnits":5})"));
    ASSERT_TRUE(created.isSuccess()) << created.errorMessage;
    ASSERT_TRUE(service.waitForActiveTable(table, 300));
    std::vector<std::string> batch;
    for (int i = 0; i < items; ++i) {
        batch.push_back(sampleItem(i));
        if (batch.size() == 25 || i == items - 1) {
            while (!batch.empty()) {
                auto outcome = service.batchPutItems(table, batch);
                ASSERT_TRUE(outcome.isSuccess()) << outcome.errorMessage;
                batch = *outcome.result;
            }
        }
    }
}
