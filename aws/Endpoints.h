#pragma once
// Where requests go. AWS's published endpoint domains, and the endpoint
// overrides users know from the AWS tools (AWS_ENDPOINT_URL and friends).

#include <map>
#include <string>

#include "aws/AmazonRequest.h"

class SharedConfig;

namespace endpoints {

constexpr const char* kStandardDomain = ".amazonaws.com";
constexpr const char* kChinaDomain = ".amazonaws.com.cn";
// STS without a region; requests to it are signed for us-east-1.
constexpr const char* kGlobalStsHost = "sts.amazonaws.com";
constexpr const char* kDefaultMetadataEndpoint = "http://169.254.169.254";

// An AWS partition: its own domain, and the region its global services
// (STS without a region) are signed for.
struct Partition {
    const char* name;          // "aws", "aws-cn", "aws-us-gov", ...
    const char* domain;        // ".amazonaws.com", ".amazonaws.com.cn", ...
    const char* defaultRegion; // "us-east-1", "cn-north-1", ...
    const char* regionPrefix;  // what its regions' names begin with; "" for aws
};

// The partition of that name, or null.
const Partition* partitionNamed(const std::string& name);
// The partition a region belongs to (aws for any region no other claims).
const Partition& partitionOfRegion(const std::string& region);

// The domain of the region's partition.
std::string domainSuffix(const std::string& region);

// An IAM role ARN, "arn:PARTITION:iam::ACCOUNT:role/[PATH/]NAME".
struct RoleArn {
    const Partition* partition = nullptr;
    std::string account;
    std::string name; // with its path
};
// False with an error that names the text when it is not a role ARN of a
// known partition.
bool parseRoleArn(const std::string& text, RoleArn& arn, std::string& error);

// What the shared config file says of endpoints for the profile in use:
// the profile's endpoint_url, the endpoint_url of each service in the
// "[services NAME]" section its `services` setting names, and whether
// configured endpoints are ignored (ignore_configured_endpoint_urls).
struct ConfiguredEndpoints {
    std::string global;
    std::map<std::string, std::string> services; // by service id: dynamodb, dynamodb_streams, s3, sts
    bool ignore = false;
};
ConfiguredEndpoints configuredEndpoints(const SharedConfig& config, const std::string& profile);
// Process-wide; set once at start, before any request.
void setConfiguredEndpoints(const ConfiguredEndpoints& configured);

// scheme://host[:port] that a request of this service is sent to instead of
// its own host, or empty. As with the AWS tools, the first set of:
// AWS_ENDPOINT_URL_<SERVICE>, AWS_ENDPOINT_URL, the service's endpoint_url
// in the config's services section, the profile's endpoint_url; none when
// AWS_IGNORE_CONFIGURED_ENDPOINT_URLS (or else the profile) says "true".
// A trailing "/" is dropped.
std::string overrideFor(const AmazonRequest& request);

// The instance metadata service: AWS_EC2_METADATA_SERVICE_ENDPOINT or EC2's address.
std::string metadataEndpoint();
// True when AWS_EC2_METADATA_DISABLED is "true" (any case).
bool metadataDisabled();

} // namespace endpoints
