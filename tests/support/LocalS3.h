#pragma once
// Points a test at the local S3 server that ctest started (see
// tools/local-s3): its bucket, the keys its verifying proxy checks every
// signature with, and a fresh prefix per test, so that tests never meet
// each other's objects.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "framework/LogSink.h"
#include "framework/TeskEnvironment.h"
#include "s3/S3StoreBackend.h"

class LocalS3 {
public:
    static constexpr const char* kBucket = "ddb-backup-test";

    LocalS3() {
        std::ifstream file(std::string(DDB_LOCAL_S3_STATE) + "/port");
        std::string port;
        if (file >> port) endpoint_ = "http://127.0.0.1:" + port;
        // Process-wide, set once before any request: S3 calls go to the
        // local server, DynamoDB's stay where they were.
        if (!endpoint_.empty()) ::setenv("AWS_ENDPOINT_URL_S3", endpoint_.c_str(), 1);
    }

    const std::string& endpoint() const { return endpoint_; }
    TeskEnvironment& environment() { return environment_; }

    AmazonCredentials credentials(const std::string& secret = "S3RVER") const {
        AmazonCredentials keys;
        keys.accessKeyId = "S3RVER";
        keys.secretAccessKey = secret;
        keys.region = "us-east-1";
        keys.isResolved = true;
        return keys;
    }

    std::shared_ptr<S3Client> client(const std::string& prefix, const std::string& secret = "S3RVER") {
        return std::make_shared<S3Client>(S3Location{kBucket, prefix}, credentials(secret), environment_);
    }

    // Null when no server runs: the test fails in its set-up, naming the cause.
    std::shared_ptr<S3StoreBackend> backend(const std::string& prefix,
                                            S3StoreBackend::Tuning tuning = S3StoreBackend::Tuning()) {
        if (endpoint_.empty()) return nullptr;
        return std::make_shared<S3StoreBackend>(client(prefix), tuning);
    }

private:
    std::string endpoint_;
    TeskEnvironment environment_{"local-s3", std::make_shared<MemoryLogSink>()};
};

inline LocalS3& localS3() {
    static LocalS3 server;
    return server;
}

// A prefix unique to this process and call.
inline std::string uniquePrefix(const std::string& stem = "store") {
    static int counter = 0;
    return "tests/" + stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}
