#pragma once
// The local endpoint's test hooks: close a table's open shard (with children),
// or drop a shard as if DynamoDB had trimmed it.

#include <string>

#include "aws/AwsRequestService.h"
#include "dynamodb/AwsDynamoDBService.h"

inline int localAdmin(AwsDynamoDBService& service, const std::string& operation, const std::string& body) {
    AmazonRequest request = service.baseRequest(operation, false);
    request.headers["X-Amz-Target"] = "LocalAdmin." + operation;
    request.body = body;
    AwsRequestService sender(service.getEnvironment());
    return sender.executeRequest(request, 50, 60000).httpCode;
}

inline int rollShard(AwsDynamoDBService& service, const std::string& table, int children = 1) {
    return localAdmin(service, "RollShard",
                      R"({"TableName":")" + table + R"(","Children":)" + std::to_string(children) + "}");
}
