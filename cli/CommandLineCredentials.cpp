#include "cli/CommandLineCredentials.h"

#include <cstdlib>

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
        if (credentials.accessKeyId.rfind("arn:aws:iam::", 0) != 0) {
            error = "--role-arn must be an IAM role ARN (arn:aws:iam::ACCOUNT:role/NAME)";
            return false;
        }
        return true;
    }
    credentials.accessKeyId = environmentValue("AWS_ACCESS_KEY_ID");
    credentials.secretAccessKey = environmentValue("AWS_SECRET_ACCESS_KEY");
    credentials.sessionToken = environmentValue("AWS_SESSION_TOKEN");
    return true;
}
