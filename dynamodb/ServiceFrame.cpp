// Construction, the request envelope, credential refresh, the retry decision
// and error classification.

#include "aws/CredentialRefresh.h"
#include "aws/Endpoints.h"
#include "dynamodb/AwsDynamoDBService.h"

AmazonError classifyError(const std::string& text) {
    if (text.find("#ThrottlingException") != std::string::npos) return Throttling;
    if (text.find("#LimitExceededException") != std::string::npos) return LimitExceeded;
    if (text.find("#ProvisionedThroughputExceededException") != std::string::npos) return ProvisionedThroughputExceeded;
    if (text.find("#ResourceInUseException") != std::string::npos) return ResourceInUse;
    if (text.find("#ResourceNotFoundException") != std::string::npos) return ResourceNotFound;
    return Other;
}

std::string my_to_string(int value) { return std::to_string(value); }

AwsDynamoDBService::AwsDynamoDBService(AmazonCredentials& callerCredentials, TeskEnvironment& environment)
    : requestService(environment, [&environment](AmazonResponse& response) {
          return AwsDynamoDBService::responseCheck(environment, response);
      }),
      environment(environment) {
    if (!AwsRequestService::handleIAMRole(environment, callerCredentials))
        environment.log("AwsDynamoDBService", "Final attempt to correct empty credentials (IAM Role) has failed");
    credentials = callerCredentials;
}

AwsDynamoDBService::~AwsDynamoDBService() = default;

bool AwsDynamoDBService::isThroughputDecreaseError(const std::string& text) {
    return text.find("Provisioned throughput decreases are limited") != std::string::npos;
}

bool AwsDynamoDBService::isResourceNotFoundError(const std::string& text) {
    return text.find("Requested resource not found") != std::string::npos;
}

bool AwsDynamoDBService::responseCheck(TeskEnvironment& environment, AmazonResponse& response) {
    const char* function = "operator()";
    if (response.httpCode == 500 || response.httpCode == 503) {
        environment.log(function, "Internal service error response code " + std::to_string(response.httpCode));
        return true;
    }
    if (response.httpCode != 400) return false;
    if (response.body.empty()) {
        environment.log(function, "Empty response");
        return true;
    }
    const bool throttled = response.body.find("#ThrottlingException") != std::string::npos;
    const bool throughput = response.body.find("#ProvisionedThroughputExceededException") != std::string::npos;
    const bool limit = response.body.find("#LimitExceededException") != std::string::npos;
    if (throttled) environment.log(function, "Throttling exception");
    if (throughput) environment.log(function, "Throughput exceeded exception");
    if (limit) {
        environment.log(function, "Limit exceeded exception");
        return !isThroughputDecreaseError(response.body);
    }
    if (throttled || throughput) return true;
    environment.log(function, "Bad request with response " + response.body);
    return false;
}

AmazonRequest AwsDynamoDBService::baseRequest(const std::string& target, bool streams) {
    if (credentialsDueForRefresh(credentials, environment.clock().now()) &&
        !refreshCredentials(environment, credentials))
        environment.setFailure("the temporary credentials of this job expire at " + std::to_string(credentials.expiration) +
                               " and could not be renewed; see the log");
    AmazonRequest request;
    request.credentials = credentials;
    request.scheme = "https://";
    request.path = "/";
    request.domainSuffix = endpoints::domainSuffix(credentials.region);
    request.method = 1;
    request.host = "dynamodb." + credentials.region + request.domainSuffix;
    request.service = "dynamodb";
    request.headers["Content-Type"] = "application/x-amz-json-1.0";
    if (streams) {
        request.host = "streams." + request.host;
        request.headers["X-Amz-Target"] = "DynamoDBStreams_20120810." + target;
    } else {
        request.headers["X-Amz-Target"] = "DynamoDB_20120810." + target;
    }
    return request;
}

AmazonResponse AwsDynamoDBService::send(AmazonRequest& request) {
    AmazonResponse response = requestService.execute(request);
    // Credentials refused as expired (a clock behind the service's, or keys
    // revoked early) are renewed once, and the request signed again.
    if (response.httpCode == 400 && isExpiredCredentialsError(response.body) && credentials.expiration > 0) {
        environment.log("send", "the service refused the credentials as expired; renewing them");
        if (refreshCredentials(environment, credentials)) {
            request.credentials = credentials;
            for (const char* header : {"Authorization", "x-amz-date", "x-amz-security-token"}) request.headers.erase(header);
            response = requestService.execute(request);
        }
    }
    // Without an answer there is no body to quote: the error says why none came.
    if (response.httpCode == 600) response.body = response.failure;
    return response;
}
