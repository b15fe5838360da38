#pragma once
// Signs AWS requests with Signature Version 4 and sends them, retrying with
// exponential back-off while the response check asks for it, and after a
// refused, reset or stalled connection. Also completes credentials from the
// instance metadata service and STS AssumeRole (AwsCredentialSources.cpp),
// which mark them with their source so that they can be renewed.
// Not thread-safe: one object serves one thread; parallel workers each own one.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "aws/AmazonCredentials.h"
#include "aws/AmazonRequest.h"
#include "platform/HXLibCurl.h"
#include "framework/TeskEnvironment.h"

class AwsRequestService {
public:
    // Given each response; true means the request is to be sent again.
    using ResponseCheck = std::function<bool(AmazonResponse&)>;

    // Retries exactly the responses with status 500 or 503.
    explicit AwsRequestService(TeskEnvironment& environment);
    // `responseCheck` must not be empty.
    AwsRequestService(TeskEnvironment& environment, ResponseCheck responseCheck);
    ~AwsRequestService();
    AwsRequestService(const AwsRequestService&) = delete;
    AwsRequestService& operator=(const AwsRequestService&) = delete;

    static bool defaultResponseCheck(AmazonResponse& response);

    // The back-off every AWS call gets: the first pause, and the most all
    // pauses of one call may add up to. Process-wide; set once at start.
    struct RetryBudget {
        uint32_t initialDelayMs = 50;
        uint32_t maxTotalDelayMs = 60000;
    };
    static void setRetryBudget(const RetryBudget& budget);
    static RetryBudget retryBudget();
    // executeRequest with the process-wide budget.
    AmazonResponse execute(AmazonRequest& request);

    // Signs the request unless it already carries "Authorization", then sends
    // it up to the back-off budget: sleeps of initialDelayMs, doubling, as long
    // as their sum stays within maxTotalDelayMs. An initial delay of 0 is
    // taken as 1 ms so that the budget always runs out.
    AmazonResponse executeRequest(AmazonRequest& request, uint32_t initialDelayMs, uint32_t maxTotalDelayMs);
    // Signs in place with the environment clock's time. False only when query
    // parameters could not be escaped.
    bool signRequest(AmazonRequest& request);

    bool initCurlObject(const std::string& contentType);
    void deleteCurlObject();

    static std::string lowercase(const std::string& text);
    static std::string trimSpaces(const std::string& text);
    static std::string hexEncode(const std::string& bytes);
    static std::string hmac(const std::string& key, const std::string& data);
    static std::string sha256(const std::string& data);

    // Credential sources (see AwsCredentialSources.cpp).
    static bool handleIAMRole(TeskEnvironment& environment, AmazonCredentials& credentials);
    bool isSTSAssumeRole(AmazonCredentials& credentials);
    bool credsFromMetadata(AmazonCredentials& credentials);
    bool getSessionTokenSTS(AmazonCredentials& credentials);
    std::string regionFromMetadata();

    TeskEnvironment& env() { return environment; }
    // Hands a consumed response body back, to take the next response.
    void recycle(std::string&& body) { spare_ = std::move(body); }

private:
    // One GET (or token PUT) to the instance metadata service.
    struct MetadataAnswer {
        bool sent = false;
        long status = 0;
        std::string body;
    };
    MetadataAnswer metadataRequest(int type, const std::string& path, const std::string& extraHeader);
    std::string metadataToken();

    std::unique_ptr<HXLibCurl> httpClient;
    TeskEnvironment& environment;
    bool httpClientReady = false;
    ResponseCheck responseCheck;
    std::string spare_; // memory for the next response body
};
