#include "aws/AwsRequestService.h"

#include <atomic>
#include <cstdio>

#include "aws/Endpoints.h"

AwsRequestService::AwsRequestService(TeskEnvironment& environment)
    : AwsRequestService(environment, &AwsRequestService::defaultResponseCheck) {}

AwsRequestService::AwsRequestService(TeskEnvironment& environment, ResponseCheck responseCheck)
    : environment(environment), responseCheck(std::move(responseCheck)) {
    if (!this->responseCheck) this->responseCheck = &AwsRequestService::defaultResponseCheck;
}

AwsRequestService::~AwsRequestService() { deleteCurlObject(); }

namespace {
std::atomic<uint32_t> initialDelay{50};
std::atomic<uint32_t> totalDelay{60000};
// Why a request got no answer, in words a user can act on.
std::string noAnswer(const std::string& url, int attempts, uint64_t waitedMs, const std::string& curlError,
                     bool mayPass) {
    // Without the query: a signature or token carried there would leak.
    std::string text = "no answer from " + url.substr(0, url.find('?')) + " (" + std::to_string(attempts) +
                       (attempts == 1 ? " attempt" : " attempts");
    if (waitedMs > 0) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, " over %.1f s", static_cast<double>(waitedMs) / 1000.0);
        text += seconds;
    }
    text += "): " + curlError;
    text += mayPass ? "; check the endpoint and the network, or allow longer with --retry-seconds"
                    : "; check the endpoint's address and its certificate";
    return text;
}
} // namespace

void AwsRequestService::setRetryBudget(const RetryBudget& budget) {
    initialDelay = budget.initialDelayMs;
    totalDelay = budget.maxTotalDelayMs;
}

AwsRequestService::RetryBudget AwsRequestService::retryBudget() { return RetryBudget{initialDelay, totalDelay}; }

AmazonResponse AwsRequestService::execute(AmazonRequest& request) {
    return executeRequest(request, initialDelay, totalDelay);
}

bool AwsRequestService::defaultResponseCheck(AmazonResponse& response) {
    return response.httpCode == 500 || response.httpCode == 503;
}

bool AwsRequestService::initCurlObject(const std::string& contentType) {
    if (httpClientReady) return true;
    httpClient = std::make_unique<HXLibCurl>();
    const std::string header = "Content-Type: " + contentType;
    bool ready = httpClient->HXLibCurlInit(header.c_str(), true, false, nullptr);
    if (ready) {
        // Time-outs must not raise SIGALRM in a multi-threaded process.
        httpClient->HXLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOSIGNAL, 1);
        httpClientReady = true;
    }
    return ready;
}

void AwsRequestService::deleteCurlObject() {
    httpClient.reset();
    httpClientReady = false;
}

AmazonResponse AwsRequestService::executeRequest(AmazonRequest& request, uint32_t initialDelayMs,
                                                 uint32_t maxTotalDelayMs) {
    AmazonResponse response;
    if (request.sign && request.headers.find("Authorization") == request.headers.end() && !signRequest(request)) {
        response.httpCode = 600;
        response.failure = "the request could not be signed: its query parameters cannot be escaped";
        return response;
    }
    // A zero delay would never use up the budget and could retry forever.
    uint64_t delay = initialDelayMs == 0 ? 1 : initialDelayMs;
    uint64_t total = 0;

    // The endpoint override changes where the bytes go, not what was signed:
    // the signed host header travels with the request.
    const std::string endpoint = endpoints::overrideFor(request);
    std::string url = (endpoint.empty() ? request.scheme + request.host : endpoint) + request.path;
    if (!request.query.empty()) url += "?" + request.query;

    int attempts = 0;
    for (bool retry = false;; retry = true) {
        ++attempts;
        if (!httpClientReady) {
            if (!initCurlObject(request.headers["content-type"])) {
                deleteCurlObject();
                response = AmazonResponse();
                response.httpCode = 600;
                response.failure = "libcurl could not set up an HTTP client (out of memory?)";
                return response;
            }
        }
        httpClient->reuseBuffer(std::move(spare_));
        if (retry) httpClient->freshConnection();
        httpClient->HXLibCurlFreeHttpHeaderList();
        for (const auto& header : request.headers) {
            if (header.first == "content-type") continue;
            std::string line = header.first + ": " + header.second;
            httpClient->HXLibCurlAppendHeader(HXLibCurl::kHeaderStandard, line.c_str());
        }
        const bool withBody = request.method == HXLibCurl::kPost || request.method == HXLibCurl::kPut;
        httpClient->keepResponseHeaders(request.keepResponseHeaders);
        bool sent = httpClient->HXLibCurlSendHttpReq(request.method, url.c_str(),
                                                     withBody ? request.body.data() : nullptr,
                                                     withBody ? request.body.size() : 0, false, nullptr);
        std::string body;
        httpClient->takeHttpResponse(body);
        int status = static_cast<int>(httpClient->m_httpStatus);
        bool transient = false;
        std::string failure;
        if (!sent && status == 0) {
            // Nothing came back at all: no connection, or no answer on it.
            environment.log("executeRequest", "HTTP request to " + url + " failed: " + httpClient->lastError());
            transient = httpClient->lastFailureMayPass();
            status = 600;
            failure = noAnswer(url, attempts, total, httpClient->lastError(), transient);
        } else if (status / 100 == 2 && !sent) {
            environment.log("executeRequest",
                            "HTTP request failed overall, but HTTP_STATUS_OK does not reflect the error. Change "
                            "lastCode to HTTP_STATUS_SERVER_ERROR, which will be retried.");
            status = 500;
        }
        response.success = sent && status / 100 == 2;
        response.httpCode = status;
        response.body.swap(body);
        response.failure = std::move(failure);
        if (request.keepResponseHeaders) response.headers = httpClient->responseHeaders();
        deleteCurlObject();

        // A refused, reset or stalled connection is retried like a busy
        // service; a refused certificate is not.
        if (!transient && !responseCheck(response)) return response;
        if (total + delay > maxTotalDelayMs) return response;
        environment.log("executeRequest", "sleeping for " + std::to_string(delay) + " msec with total up to " +
                                              std::to_string(maxTotalDelayMs) + " msec");
        environment.clock().sleepMs(delay);
        total += delay;
        delay *= 2;
    }
}
