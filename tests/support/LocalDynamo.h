#pragma once
// Points a test at the local DynamoDB endpoint that ctest started (see
// tools/local-dynamodb). Fails the test when no endpoint is running.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "aws/AmazonCredentials.h"
#include "tests/support/ScopedEnv.h"

inline std::string localDynamoEndpoint() {
    std::ifstream file(std::string(DDB_LOCAL_DYNAMODB_STATE) + "/port");
    std::string port;
    if (!(file >> port)) return "";
    return "http://127.0.0.1:" + port;
}

inline AmazonCredentials localCredentials(const std::string& region = "us-east-1") {
    AmazonCredentials credentials;
    credentials.accessKeyId = "AKIDLOCAL";
    credentials.secretAccessKey = "local-secret";
    credentials.region = region;
    return credentials;
}

// A table name unique to this process and call.
inline std::string uniqueTableName(const std::string& stem) {
    static int counter = 0;
    return stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

#define REQUIRE_LOCAL_DYNAMO(endpointVariable)                                          \
    std::string endpointVariable = localDynamoEndpoint();                               \
    if (endpointVariable.empty()) GTEST_FAIL() << "local DynamoDB endpoint not running: tools/local-dynamodb/start.sh"; \
    ScopedEnv endpointVariable##Scope("AWS_ENDPOINT_URL", endpointVariable)
