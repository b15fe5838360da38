#include "cli/CommandLineCredentials.h"

#include <cstdlib>

#include "aws/AwsRequestService.h"
#include "aws/Endpoints.h"
#include "platform/HXLibCurl.h"

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string regionFrom(const Arguments& arguments) {
    std::string region = arguments.get("region", environmentValue("AWS_REGION"));
    return region.empty() ? environmentValue("AWS_DEFAULT_REGION") : region;
}

bool credentialsFrom(const Arguments& arguments, const std::string& region, AmazonCredentials& credentials,
                     std::string& error) {
    credentials = AmazonCredentials();
    credentials.region = region;
    if (arguments.has("role-arn")) {
        credentials.accessKeyId = arguments.get("role-arn");
        endpoints::RoleArn arn;
        if (!endpoints::parseRoleArn(credentials.accessKeyId, arn, error)) {
            error = "--role-arn: " + error;
            return false;
        }
        return true;
    }
    credentials.accessKeyId = environmentValue("AWS_ACCESS_KEY_ID");
    credentials.secretAccessKey = environmentValue("AWS_SECRET_ACCESS_KEY");
    credentials.sessionToken = environmentValue("AWS_SESSION_TOKEN");
    return true;
}

const char* const kTransportOptionNames[3] = {"retry-seconds", "connect-timeout", "stall-seconds"};

const char* const kTransportOptionsHelp =
    "  --retry-seconds N    how long the pauses between attempts of one AWS call may\n"
    "                       add up to, after throttling, a 5xx or a refused, reset\n"
    "                       or stalled connection (default 60)\n"
    "  --connect-timeout N  seconds to wait for a connection (default 10)\n"
    "  --stall-seconds N    an answer that sends nothing for this long has stalled:\n"
    "                       it is cut and the call retried (default 30)\n";

bool applyTransportOptions(const Arguments& arguments, std::string& error) {
    int64_t retry = 0, connect = 0, stall = 0;
    if (!arguments.getNumber("retry-seconds", 60, 0, 3600, retry, error) ||
        !arguments.getNumber("connect-timeout", 10, 1, 600, connect, error) ||
        !arguments.getNumber("stall-seconds", 30, 1, 3600, stall, error))
        return false;
    AwsRequestService::RetryBudget budget;
    budget.maxTotalDelayMs = static_cast<uint32_t>(retry * 1000);
    AwsRequestService::setRetryBudget(budget);
    TransportLimits limits;
    limits.connectTimeoutMs = static_cast<long>(connect * 1000);
    limits.lowSpeedSeconds = static_cast<long>(stall);
    HXLibCurl::setTransportLimits(limits);
    return true;
}
