#pragma once
// Readers of the answers credential sources give, and the source that
// renews instance and assumed-role credentials. The operations themselves
// are members of AwsRequestService.

#include <memory>
#include <string>

#include "aws/AmazonCredentials.h"
#include "aws/CredentialSource.h"

// The credentials of an instance metadata answer (AccessKeyId,
// SecretAccessKey, Token, Expiration as UTC text); false, leaving
// `credentials` as they were, when one is missing or malformed.
bool readMetadataCredentials(const std::string& body, AmazonCredentials& credentials);
// The credentials of an STS AssumeRole answer in JSON; false with what is
// missing ("credentials" or "expiration time"), leaving `credentials` as
// they were.
bool readAssumeRoleAnswer(const std::string& body, AmazonCredentials& credentials, std::string& missing);
// The same for any STS action answering with credentials
// ("AssumeRoleWithWebIdentity": /<action>Response/<action>Result/Credentials).
bool readStsCredentials(const std::string& body, const std::string& action, AmazonCredentials& credentials,
                        std::string& missing);

// Instance metadata, with the configured role assumed through STS when
// there is one: what credsFromMetadata fetched, fetched again.
std::shared_ptr<const CredentialSource> instanceMetadataSource();
