#pragma once
// The fault proxy's test hooks (tools/local-dynamodb): roll a table's open
// shard over, trim the oldest records of its stream, make a shard vanish,
// mark a second in its records' times, and answer requests with injected
// errors.

#include <string>

#include <rapidjson/document.h>

#include "aws/AwsRequestService.h"
#include "dynamodb/AwsDynamoDBService.h"

inline AmazonResponse localAdminCall(AwsDynamoDBService& service, const std::string& operation, const std::string& body) {
    AmazonRequest request = service.baseRequest(operation, false);
    request.headers["X-Amz-Target"] = "LocalAdmin." + operation;
    request.body = body;
    AwsRequestService sender(service.getEnvironment());
    return sender.executeRequest(request, 50, 60000);
}

inline int localAdmin(AwsDynamoDBService& service, const std::string& operation, const std::string& body) {
    return localAdminCall(service, operation, body).httpCode;
}

// Closes the open shard at its last record; `children` shards open under it,
// the first of which takes every later record.
inline int rollShard(AwsDynamoDBService& service, const std::string& table, int children = 1) {
    return localAdmin(service, "RollShard",
                      R"({"TableName":")" + table + R"(","Children":)" + std::to_string(children) + "}");
}

// The stream's oldest `count` records are gone, as after the retention period.
inline int trimStream(AwsDynamoDBService& service, const std::string& table, int count) {
    return localAdmin(service, "TrimStream",
                      R"({"TableName":")" + table + R"(","Count":)" + std::to_string(count) + "}");
}

// The shard leaves the stream after `afterGetRecords` more reads of it.
inline int vanishShard(AwsDynamoDBService& service, const std::string& table, const std::string& shardId,
                       int afterGetRecords = 0) {
    return localAdmin(service, "VanishShard",
                      R"({"TableName":")" + table + R"(","ShardId":")" + shardId +
                          R"(","AfterGetRecords":)" + std::to_string(afterGetRecords) + "}");
}

// The next `count` requests of `operation` ("*": any) on `table` (empty: any)
// are answered with `status` and error `type` instead of reaching the table.
inline int injectFault(AwsDynamoDBService& service, const std::string& operation, int status,
                       const std::string& type, int count, const std::string& table = "") {
    std::string body = R"({"Operation":")" + operation + R"(","Status":)" + std::to_string(status) +
                       R"(,"Type":")" + type + R"(","Count":)" + std::to_string(count);
    if (!table.empty()) body += R"(,"TableName":")" + table + R"(")";
    return localAdmin(service, "InjectFault", body + "}");
}

inline int clearFaults(AwsDynamoDBService& service) { return localAdmin(service, "ClearFaults", "{}"); }

// How many faults injected for `table` the proxy has answered with.
inline int faultsServed(AwsDynamoDBService& service, const std::string& table) {
    rapidjson::Document answer;
    answer.Parse(localAdminCall(service, "FaultsServed", R"({"TableName":")" + table + R"("})").body.c_str());
    return answer.IsObject() && answer.HasMember("Served") && answer["Served"].IsInt() ? answer["Served"].GetInt() : -1;
}

// Waits for the next whole second and returns it (-1 on failure): records of
// `table` written from now on carry at least that creation time, and those
// written before it carry an earlier one.
inline int64_t markTime(AwsDynamoDBService& service, const std::string& table) {
    rapidjson::Document answer;
    answer.Parse(localAdminCall(service, "MarkTime", R"({"TableName":")" + table + R"("})").body.c_str());
    return answer.IsObject() && answer.HasMember("Time") && answer["Time"].IsInt64() ? answer["Time"].GetInt64() : -1;
}
