#pragma once
// Where a command's credentials and region come from, in the order the AWS
// tools use, the first source with credentials winning:
//   1. AWS_ACCESS_KEY_ID / AWS_SECRET_ACCESS_KEY (/ AWS_SESSION_TOKEN);
//   2. web identity: AWS_WEB_IDENTITY_TOKEN_FILE with AWS_ROLE_ARN
//      (and AWS_ROLE_SESSION_NAME), through STS AssumeRoleWithWebIdentity;
//   3. the profile (--profile, AWS_PROFILE, "default") of the shared files:
//      keys, a role_arn over source_profile or credential_source, or
//      credential_process;
//   4. container credentials: AWS_CONTAINER_CREDENTIALS_RELATIVE_URI or
//      _FULL_URI, with AWS_CONTAINER_AUTHORIZATION_TOKEN or _TOKEN_FILE;
//   5. the instance metadata service.
// Temporary credentials carry the source that renews them (CredentialSource).

#include <string>

#include "aws/AmazonCredentials.h"
#include "framework/TeskEnvironment.h"

struct CredentialOptions {
    std::string profile;         // empty: AWS_PROFILE, else "default"
    std::string roleArn;         // assumed with whatever the chain gives
    std::string roleSessionName; // of that role's session
    std::string externalId;      // that role's trust policy asks for
};

// The profile the options name: --profile, AWS_PROFILE, "default".
std::string chosenProfile(const CredentialOptions& options);

// Resolves usable keys for `region` into `credentials` (resolved, with
// their source), and names the source that gave them in `from`. False
// with what failed and what the user can do. Never puts a secret in `from`,
// `error` or the log.
bool resolveCredentials(TeskEnvironment& environment, const CredentialOptions& options, const std::string& region,
                        AmazonCredentials& credentials, std::string& from, std::string& error);

// --region (`given`), AWS_REGION, AWS_DEFAULT_REGION, the profile's
// "region", then the instance metadata service. False with how to set one.
bool resolveRegion(TeskEnvironment& environment, const std::string& given, const std::string& profile,
                   std::string& region, std::string& error);
