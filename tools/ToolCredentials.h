#pragma once
// The demo tools' credentials: the access keys in the environment (the
// local endpoint takes any), for `region`.

#include <cstdlib>
#include <string>

#include "aws/AmazonCredentials.h"

inline AmazonCredentials credentialsFromEnvironment(const std::string& region) {
    AmazonCredentials credentials;
    const char* key = std::getenv("AWS_ACCESS_KEY_ID");
    const char* secret = std::getenv("AWS_SECRET_ACCESS_KEY");
    credentials.accessKeyId = key ? key : "";
    credentials.secretAccessKey = secret ? secret : "";
    credentials.region = region;
    return credentials;
}
