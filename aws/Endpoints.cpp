#include "aws/Endpoints.h"

#include <strings.h>

#include <cstdlib>
#include <mutex>

#include "aws/SharedConfig.h"

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

namespace {
// Longer prefixes first: "us-isob-" before "us-iso-".
const Partition kPartitions[] = {
    {"aws-cn", kChinaDomain, "cn-north-1", "cn-"},
    {"aws-us-gov", kStandardDomain, "us-gov-west-1", "us-gov-"},
    {"aws-iso-b", ".sc2s.sgov.gov", "us-isob-east-1", "us-isob-"},
    {"aws-iso-e", ".cloud.adc-e.uk", "eu-isoe-west-1", "eu-isoe-"},
    {"aws-iso-f", ".csp.hci.ic.gov", "us-isof-south-1", "us-isof-"},
    {"aws-iso", ".c2s.ic.gov", "us-iso-east-1", "us-iso-"},
    {"aws", kStandardDomain, "us-east-1", ""},
};
} // namespace

const Partition* partitionNamed(const std::string& name) {
    for (const auto& partition : kPartitions)
        if (name == partition.name) return &partition;
    return nullptr;
}

const Partition& partitionOfRegion(const std::string& region) {
    for (const auto& partition : kPartitions)
        if (region.compare(0, std::char_traits<char>::length(partition.regionPrefix), partition.regionPrefix) == 0)
            return partition;
    return kPartitions[sizeof kPartitions / sizeof kPartitions[0] - 1];
}

std::string domainSuffix(const std::string& region) { return partitionOfRegion(region).domain; }

bool parseRoleArn(const std::string& text, RoleArn& arn, std::string& error) {
    const std::string expected = "'" + text + "' is not an IAM role ARN (arn:PARTITION:iam::ACCOUNT:role/NAME)";
    if (text.compare(0, 4, "arn:") != 0) {
        error = expected;
        return false;
    }
    const size_t partitionEnd = text.find(':', 4);
    if (partitionEnd == std::string::npos || text.compare(partitionEnd, 6, ":iam::") != 0) {
        error = expected;
        return false;
    }
    const std::string partition = text.substr(4, partitionEnd - 4);
    arn.partition = partitionNamed(partition);
    if (!arn.partition) {
        error = "'" + text + "' names partition '" + partition + "', which is not an AWS partition";
        return false;
    }
    const size_t accountStart = partitionEnd + 6;
    const size_t accountEnd = text.find(':', accountStart);
    if (accountEnd == std::string::npos) {
        error = expected;
        return false;
    }
    arn.account = text.substr(accountStart, accountEnd - accountStart);
    bool digits = arn.account.size() == 12;
    for (char c : arn.account) digits = digits && c >= '0' && c <= '9';
    if (!digits || text.compare(accountEnd, 6, ":role/") != 0 || text.size() == accountEnd + 6 || text.back() == '/') {
        error = expected;
        return false;
    }
    arn.name = text.substr(accountEnd + 6);
    return true;
}

namespace {
std::mutex configuredMutex;
ConfiguredEndpoints configured; // guarded by configuredMutex

bool isTrue(const std::string& text) { return strcasecmp(text.c_str(), "true") == 0; }
} // namespace

ConfiguredEndpoints configuredEndpoints(const SharedConfig& config, const std::string& profile) {
    ConfiguredEndpoints endpoints;
    endpoints.global = config.get(profile, "endpoint_url");
    endpoints.ignore = isTrue(config.get(profile, "ignore_configured_endpoint_urls"));
    const std::string section = config.get(profile, "services");
    if (!section.empty())
        for (const char* service : {"dynamodb", "dynamodb_streams", "s3", "sts"}) {
            const std::string url = config.serviceSetting(section, service, "endpoint_url");
            if (!url.empty()) endpoints.services[service] = url;
        }
    return endpoints;
}

void setConfiguredEndpoints(const ConfiguredEndpoints& given) {
    std::lock_guard<std::mutex> guard(configuredMutex);
    configured = given;
}

namespace {
// A service's identifier in the config's services section, and its variable.
struct ServiceId {
    const char* id;
    const char* variable;
};

ServiceId serviceOf(const AmazonRequest& request) {
    if (request.service == "sts") return {"sts", "AWS_ENDPOINT_URL_STS"};
    if (request.service == "s3") return {"s3", "AWS_ENDPOINT_URL_S3"};
    if (request.service == "dynamodb")
        return request.host.compare(0, 8, "streams.") == 0
                   ? ServiceId{"dynamodb_streams", "AWS_ENDPOINT_URL_DYNAMODB_STREAMS"}
                   : ServiceId{"dynamodb", "AWS_ENDPOINT_URL_DYNAMODB"};
    return {nullptr, nullptr};
}
} // namespace

std::string overrideFor(const AmazonRequest& request) {
    const ServiceId service = serviceOf(request);
    const std::string ignore = variable("AWS_IGNORE_CONFIGURED_ENDPOINT_URLS");
    std::lock_guard<std::mutex> guard(configuredMutex);
    if (ignore.empty() ? configured.ignore : isTrue(ignore)) return "";
    std::string specific = service.variable ? variable(service.variable) : std::string();
    if (specific.empty()) specific = variable("AWS_ENDPOINT_URL");
    if (specific.empty() && service.id) {
        auto found = configured.services.find(service.id);
        if (found != configured.services.end()) specific = found->second;
    }
    if (specific.empty()) specific = configured.global;
    return withoutTrailingSlash(specific);
}

std::string metadataEndpoint() {
    std::string configured = withoutTrailingSlash(variable("AWS_EC2_METADATA_SERVICE_ENDPOINT"));
    return configured.empty() ? kDefaultMetadataEndpoint : configured;
}

bool metadataDisabled() { return strcasecmp(variable("AWS_EC2_METADATA_DISABLED").c_str(), "true") == 0; }

} // namespace endpoints
