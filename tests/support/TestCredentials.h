#pragma once
// Long-term keys for tests that talk to a loopback server.

#include "aws/AmazonCredentials.h"

inline AmazonCredentials testCredentials(const char* region = "us-east-1") {
    AmazonCredentials credentials;
    credentials.accessKeyId = "AKID";
    credentials.secretAccessKey = "secret";
    credentials.region = region;
    return credentials;
}
