#pragma once
// Where requests go. AWS's published endpoint domains, and the endpoint
// overrides users know from the AWS tools (AWS_ENDPOINT_URL and friends).

#include <string>

#include "aws/AmazonRequest.h"

namespace endpoints {

constexpr const char* kStandardDomain = ".amazonaws.com";
constexpr const char* kChinaDomain = ".amazonaws.com.cn";
// STS without a region; requests to it are signed for us-east-1.
constexpr const char* kGlobalStsHost = "sts.amazonaws.com";
constexpr const char* kDefaultMetadataEndpoint = "http://169.254.169.254";

// The China domain for regions whose name begins "cn", the standard one otherwise.
std::string domainSuffix(const std::string& region);

// scheme://host[:port] that a request of this service is sent to instead of
// its own host, or empty. The service-specific variable wins over
// AWS_ENDPOINT_URL. A trailing "/" is dropped.
std::string overrideFor(const AmazonRequest& request);

// The instance metadata service: AWS_EC2_METADATA_SERVICE_ENDPOINT or EC2's address.
std::string metadataEndpoint();
// True when AWS_EC2_METADATA_DISABLED is "true" (any case).
bool metadataDisabled();

} // namespace endpoints
