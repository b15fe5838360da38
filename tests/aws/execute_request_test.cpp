// executeRequest over the real libcurl path against a loopback server:
// retry decisions, the back-off schedule, what is sent, endpoint overrides.

#include <gtest/gtest.h>

#include <cstdlib>

#include "aws/AwsRequestService.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/ScopedEnv.h"

namespace {

struct ExecuteFixture : ::testing::Test {
    LoopbackHttpServer server;
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    ManualClock clock;
    TeskPrototypeEnvironment environment{"execute", log, &clock};
    ScopedEnv endpoint{"AWS_ENDPOINT_URL", server.url()};

    AmazonRequest dynamoRequest() {
        AmazonRequest request;
        request.credentials.accessKeyId = "AKIDEXAMPLE";
        request.credentials.secretAccessKey = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
        request.credentials.sessionToken = "SESSIONTOKENEXAMPLE";
        request.credentials.region = "us-east-1";
        request.host = "dynamodb.us-east-1.amazonaws.com";
        request.service = "dynamodb";
        request.headers["Content-Type"] = "application/x-amz-json-1.0";
        request.headers["X-Amz-Target"] = "DynamoDB_20120810.DescribeTable";
        request.body = R"({"TableName":"orders"})";
        return request;
    }
};

TEST_F(ExecuteFixture, ServerErrorsAreRetriedAndClientErrorsAreNot) {
    AwsRequestService service(environment);
    server.script({{500, "busy"}, {503, "slow down"}, {200, R"({"ok":true})"}});
    auto request = dynamoRequest();
    AmazonResponse response = service.executeRequest(request, 50, 60000);
    EXPECT_TRUE(response.success);
    EXPECT_EQ(response.httpCode, 200);
    EXPECT_EQ(response.body, R"({"ok":true})");
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(clock.sleeps(), (std::vector<uint64_t>{50, 100}));
    EXPECT_TRUE(log->contains("executeRequest: sleeping for 50 msec with total up to 60000 msec"));

    clock.clearSleeps();
    server.script({{400, "bad"}, {200, "never"}});
    auto second = dynamoRequest();
    response = service.executeRequest(second, 50, 60000);
    EXPECT_FALSE(response.success);
    EXPECT_EQ(response.httpCode, 400);
    EXPECT_EQ(response.body, "bad");
    EXPECT_EQ(server.requests().size(), 4u);
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(ExecuteFixture, BudgetAllowsElevenAttemptsWithDoublingSleeps) {
    AwsRequestService service(environment, [](AmazonResponse&) { return true; });
    server.script({{500, "always"}});
    auto request = dynamoRequest();
    AmazonResponse response = service.executeRequest(request, 50, 60000);
    EXPECT_EQ(response.httpCode, 500);
    EXPECT_EQ(server.requests().size(), 11u);
    EXPECT_EQ(clock.sleeps(),
              (std::vector<uint64_t>{50, 100, 200, 400, 800, 1600, 3200, 6400, 12800, 25600}));
    // Every attempt resends the one signature.
    auto requests = server.requests();
    for (const auto& sent : requests) EXPECT_EQ(sent.headers.at("authorization"), requests[0].headers.at("authorization"));
}

TEST_F(ExecuteFixture, ZeroInitialDelayStillEnds) {
    AwsRequestService service(environment, [](AmazonResponse&) { return true; });
    server.script({{500, ""}});
    auto request = dynamoRequest();
    service.executeRequest(request, 0, 10);
    // 1 + 2 + 4 ms fit in 10 ms; 8 more would not.
    EXPECT_EQ(clock.sleeps(), (std::vector<uint64_t>{1, 2, 4}));
}

TEST_F(ExecuteFixture, GetSendsNoBodyAndPostSendsIt) {
    AwsRequestService service(environment);
    auto get = dynamoRequest();
    get.method = 0;
    service.executeRequest(get, 50, 60000);
    auto post = dynamoRequest();
    service.executeRequest(post, 50, 60000);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].body, "");
    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].body, R"({"TableName":"orders"})");
    EXPECT_EQ(requests[1].headers.at("content-type"), "application/x-amz-json-1.0");
    EXPECT_EQ(requests[1].headers.at("x-amz-target"), "DynamoDB_20120810.DescribeTable");
}

TEST_F(ExecuteFixture, AnAlreadySignedRequestIsNotSignedAgain) {
    AwsRequestService service(environment);
    AmazonRequest request;
    request.host = "dynamodb.us-east-1.amazonaws.com";
    request.service = "dynamodb";
    request.headers["content-type"] = "application/json";
    request.headers["Authorization"] = "AWS4-HMAC-SHA256 precomputed";
    request.headers["x-amz-date"] = "20000101T000000Z";
    auto before = request.headers;
    service.executeRequest(request, 50, 60000);
    EXPECT_EQ(request.headers, before);
    auto sent = server.requests().at(0);
    EXPECT_EQ(sent.headers.at("authorization"), "AWS4-HMAC-SHA256 precomputed");
    EXPECT_EQ(sent.headers.at("x-amz-date"), "20000101T000000Z");
    EXPECT_EQ(sent.headers.at("content-type"), "application/json");
}

TEST_F(ExecuteFixture, OkStatusWithBrokenTransferIsTreatedAsServerError) {
    AwsRequestService service(environment);
    server.script({{200, "partial", true}, {200, "whole"}});
    auto request = dynamoRequest();
    AmazonResponse response = service.executeRequest(request, 50, 60000);
    EXPECT_TRUE(response.success);
    EXPECT_EQ(response.body, "whole");
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_TRUE(log->contains("HTTP request failed overall, but HTTP_STATUS_OK does not reflect the error. Change "
                              "lastCode to HTTP_STATUS_SERVER_ERROR, which will be retried."));
}

// A refused, reset or stalled connection may pass, as a busy service does:
// it is retried within the same budget. What cannot pass is not.
TEST_F(ExecuteFixture, RefusedConnectionsAreRetriedWithinTheBudget) {
    // Port 1 on loopback: nothing listens there, and no other test can take it.
    ScopedEnv unreachable("AWS_ENDPOINT_URL_DYNAMODB", "http://127.0.0.1:1");
    AwsRequestService service(environment);
    auto request = dynamoRequest();
    AmazonResponse response = service.executeRequest(request, 50, 60000);
    EXPECT_FALSE(response.success);
    EXPECT_EQ(response.httpCode, 600);
    EXPECT_TRUE(response.body.empty());
    EXPECT_EQ(clock.sleeps(), (std::vector<uint64_t>{50, 100, 200, 400, 800, 1600, 3200, 6400, 12800, 25600}));
    EXPECT_TRUE(log->contains("HTTP request to http://127.0.0.1:1/ failed: "));
    // What the user is told: where, how long, libcurl's words, what to do;
    // never the keys the request was signed with.
    EXPECT_EQ(response.failure.rfind("no answer from http://127.0.0.1:1/ (11 attempts over 51.", 0), 0u)
        << response.failure;
    EXPECT_NE(response.failure.find("onnect"), std::string::npos) << response.failure;
    EXPECT_NE(response.failure.find("--retry-seconds"), std::string::npos) << response.failure;
    for (const char* secret : {"wJalrXUtnFEMI", "SESSIONTOKENEXAMPLE", "Signature="})
        EXPECT_EQ(response.failure.find(secret), std::string::npos) << secret;

    clock.clearSleeps();
    ScopedEnv malformed("AWS_ENDPOINT_URL_DYNAMODB", "nosuchscheme://127.0.0.1:1");
    auto second = dynamoRequest();
    response = service.executeRequest(second, 50, 60000);
    EXPECT_EQ(response.httpCode, 600);
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_EQ(response.failure.rfind("no answer from nosuchscheme://127.0.0.1:1/ (1 attempt): ", 0), 0u)
        << response.failure;

    // An answer, even a refusal, leaves nothing to explain.
    ScopedEnv reachable("AWS_ENDPOINT_URL_DYNAMODB", server.url());
    server.script({{400, "#ValidationException"}});
    auto third = dynamoRequest();
    EXPECT_TRUE(service.executeRequest(third, 50, 60000).failure.empty());
}

TEST_F(ExecuteFixture, ResetAndStalledConnectionsAreRetried) {
    AwsRequestService service(environment);
    server.script({{200, "", false, true}, {200, "after reset"}});
    auto request = dynamoRequest();
    AmazonResponse response = service.executeRequest(request, 50, 60000);
    EXPECT_TRUE(response.success);
    EXPECT_EQ(response.body, "after reset");
    EXPECT_EQ(server.requests().size(), 2u);

    const TransportLimits saved = HXLibCurl::transportLimits();
    TransportLimits quick = saved;
    quick.lowSpeedBytes = 1000; // the headers alone are slower than that
    quick.lowSpeedSeconds = 1;
    HXLibCurl::setTransportLimits(quick);
    server.script({{200, R"({"late":true})", false, false, 3000}, {200, R"({"prompt":true})"}});
    auto stalled = dynamoRequest();
    response = service.executeRequest(stalled, 50, 60000);
    HXLibCurl::setTransportLimits(saved);
    EXPECT_TRUE(response.success);
    EXPECT_EQ(response.body, R"({"prompt":true})");
    // The server answers one connection at a time, so a retry made while it
    // still stalls may be cut too.
    EXPECT_GE(server.requests().size(), 4u);
    EXPECT_TRUE(log->contains("Operation too slow"));
}

TEST_F(ExecuteFixture, ServiceOverrideWinsAndCarriesTheSignedHost) {
    LoopbackHttpServer streams;
    ScopedEnv specific("AWS_ENDPOINT_URL_DYNAMODB_STREAMS", streams.url() + "/");
    AwsRequestService service(environment);
    auto request = dynamoRequest();
    request.host = "streams.dynamodb.us-east-1.amazonaws.com";
    service.executeRequest(request, 50, 60000);
    EXPECT_TRUE(server.requests().empty());
    ASSERT_EQ(streams.requests().size(), 1u);
    EXPECT_EQ(streams.requests()[0].headers.at("host"), "streams.dynamodb.us-east-1.amazonaws.com");
    EXPECT_EQ(streams.requests()[0].target, "/");
}

TEST_F(ExecuteFixture, NoSecretReachesTheLog) {
    AwsRequestService service(environment);
    server.script({{500, ""}, {200, "{}", true}, {200, "{}"}});
    auto request = dynamoRequest();
    service.executeRequest(request, 50, 60000);
    ASSERT_EQ(server.requests().size(), 3u);
    const std::string authorization = server.requests()[0].headers.at("authorization");
    std::string key = AwsRequestService::hmac("AWS4" + request.credentials.secretAccessKey, "20150830");
    key = AwsRequestService::hmac(AwsRequestService::hmac(AwsRequestService::hmac(key, "us-east-1"), "dynamodb"),
                                  "aws4_request");
    const std::string all = log->all();
    EXPECT_FALSE(all.empty());
    for (const std::string& secret : {request.credentials.secretAccessKey, request.credentials.sessionToken,
                                      authorization, authorization.substr(authorization.rfind('=') + 1),
                                      AwsRequestService::hexEncode(key)})
        EXPECT_EQ(all.find(secret), std::string::npos) << secret;
}

} // namespace
