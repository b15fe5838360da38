#pragma once
// What backup and restore take from the command line and the environment
// alike: the region and the credentials.

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
