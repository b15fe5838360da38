#pragma once
// A loopback instance metadata service, for the credential sources' tests.

#include <atomic>
#include <string>

#include "tests/support/LoopbackHttpServer.h"

constexpr const char* kInstanceCredentials =
    R"({"Code":"Success","AccessKeyId":"ASIAINSTANCE","SecretAccessKey":"instance-secret",)"
    R"("Token":"instance-token","Expiration":"2030-01-02T03:04:05Z"})";
constexpr int64_t kInstanceExpiry = 1893553445; // 2030-01-02T03:04:05Z

// The instance metadata service: the token form (PUT for a token, token on
// every GET) and, unless `requireToken`, the plain form.
struct FakeMetadata {
    LoopbackHttpServer server;
    std::atomic<bool> tokenForm{true};
    std::atomic<bool> requireToken{false};
    std::atomic<int> credentialFetches{0};
    std::string roleList = "backup-role\nother-role\n";
    std::string credentials = kInstanceCredentials;

    FakeMetadata() {
        server.handler([this](const RecordedRequest& request) -> CannedResponse {
            if (request.method == "PUT" && request.target == "/latest/api/token") {
                if (!tokenForm || !request.headers.count("x-aws-ec2-metadata-token-ttl-seconds")) return {403, ""};
                return {200, "TOKEN-123"};
            }
            bool hasToken = request.headers.count("x-aws-ec2-metadata-token") &&
                            request.headers.at("x-aws-ec2-metadata-token") == "TOKEN-123";
            if (requireToken && !hasToken) return {401, ""};
            if (request.target == "/latest/meta-data/iam/security-credentials/") return {200, roleList};
            if (request.target == "/latest/meta-data/iam/security-credentials/backup-role") {
                ++credentialFetches;
                return {200, credentials};
            }
            if (request.target == "/latest/meta-data/placement/availability-zone") return {200, "eu-west-1b"};
            return {404, ""};
        });
    }
};
