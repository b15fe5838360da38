#pragma once
// What backup and restore take from the command line and the environment
// alike: the region, the credentials and the transport limits.

#include <string>

#include "aws/AmazonCredentials.h"
#include "cli/Arguments.h"

// A variable of the process environment, or "".
std::string environmentValue(const char* name);
// --region, else AWS_REGION, else AWS_DEFAULT_REGION.
std::string regionFrom(const Arguments& arguments);
// --role-arn, else AWS_ACCESS_KEY_ID/AWS_SECRET_ACCESS_KEY/AWS_SESSION_TOKEN;
// neither leaves the keys empty for the instance metadata service. False
// with a usage message for a --role-arn that is not a role ARN.
bool credentialsFrom(const Arguments& arguments, const std::string& region, AmazonCredentials& credentials,
                     std::string& error);

// The options of transportOptions, for Arguments::parse.
extern const char* const kTransportOptionNames[3];
// Help text lines for them.
extern const char* const kTransportOptionsHelp;
// Applies --retry-seconds, --connect-timeout and --stall-seconds process-wide.
// False with a usage message for a value out of range.
bool applyTransportOptions(const Arguments& arguments, std::string& error);
