#pragma once
// The keys a request is signed with, or the role to obtain them from.
// A plain record, copied by value; never log its secret members.

#include <cstdint>
#include <memory>
#include <string>

class CredentialSource;

struct AmazonCredentials {
    // Access key id, or the ARN of a role to assume ("arn:PARTITION:iam::...").
    std::string accessKeyId;
    std::string secretAccessKey;
    // AWS region, for example "us-east-1"; may be empty.
    std::string region;
    // Security token of temporary credentials; empty for long-term keys.
    std::string sessionToken;
    // Expiry of temporary credentials in seconds since the epoch; <= 0: none known.
    int64_t expiration = 0;
    // Set once accessKeyId was recognised as a role ARN.
    bool isAssumeRole = false;
    // Set once usable keys were established.
    bool isResolved = false;
    // The role to assume; kept after accessKeyId is overwritten with real keys.
    std::string roleArn;
    // How the role is assumed: the session's name (empty: "ZNTR"), the
    // external id the role's trust policy asks for, and the session's length
    // in seconds (0: STS's default of an hour).
    std::string roleSessionName;
    std::string externalId;
    int64_t durationSeconds = 0;
    // Where temporary credentials came from, to renew them; null for keys
    // that are not renewed (given ones, or none yet).
    std::shared_ptr<const CredentialSource> source;
};
