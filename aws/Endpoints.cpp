#include "aws/Endpoints.h"

#include <strings.h>

#include <cstdlib>

namespace endpoints {
namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string withoutTrailingSlash(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

} // namespace

std::string domainSuffix(const std::string& region) {
    return region.compare(0, 2, "cn") == 0 ? kChinaDomain : kStandardDomain;
}

std::string overrideFor(const AmazonRequest& request) {
    std::string specific;
    if (request.service == "sts") {
        specific = variable("AWS_ENDPOINT_URL_STS");
    } else if (request.service == "dynamodb") {
        bool streams = request.host.compare(0, 8, "streams.") == 0;
        specific = variable(streams ? "AWS_ENDPOINT_URL_DYNAMODB_STREAMS" : "AWS_ENDPOINT_URL_DYNAMODB");
    }
    if (specific.empty()) specific = variable("AWS_ENDPOINT_URL");
    return withoutTrailingSlash(specific);
}

std::string metadataEndpoint() {
    std::string configured = withoutTrailingSlash(variable("AWS_EC2_METADATA_SERVICE_ENDPOINT"));
    return configured.empty() ? kDefaultMetadataEndpoint : configured;
}

bool metadataDisabled() { return strcasecmp(variable("AWS_EC2_METADATA_DISABLED").c_str(), "true") == 0; }

} // namespace endpoints
