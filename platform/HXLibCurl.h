#pragma once
// The host's HTTP client: one libcurl easy handle per object, one exchange
// at a time. TLS peer and host verification stay on. The objects of one
// thread share its open connections, DNS answers and TLS sessions, so a
// fresh object per exchange still reuses the connection of the one before.
// Not thread-safe: each thread uses its own objects.

#include <curl/curl.h>

#include <map>
#include <string>

// Limits of every exchange but those with link-local services.
struct TransportLimits {
    long connectTimeoutMs = 10000;
    // A transfer slower than `lowSpeedBytes` a second for `lowSpeedSeconds`
    // has stalled: it is cut (and retried by the caller), whatever its size.
    long lowSpeedBytes = 1;
    long lowSpeedSeconds = 30;
};

class HXLibCurl {
public:
    // Process-wide; set once at start, before any exchange.
    static void setTransportLimits(const TransportLimits& limits);
    static TransportLimits transportLimits();

    enum HeaderKind { kHeaderStandard = 0 };
    enum RequestType { kGet = 0, kPost = 1, kPut = 2, kDelete = 3, kHead = 4 };
    using WriteCallback = unsigned long (*)(void*, unsigned long, unsigned long, void*);

    HXLibCurl();
    ~HXLibCurl();
    HXLibCurl(const HXLibCurl&) = delete;
    HXLibCurl& operator=(const HXLibCurl&) = delete;

    // Prepares the handle; `contentTypeHeader` is a whole header line sent with
    // every request of this client. A non-null callback replaces the built-in
    // body collection.
    bool HXLibCurlInit(const char* contentTypeHeader, bool, bool, WriteCallback callback);
    bool HXLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value);
    void HXLibCurlFreeHttpHeaderList();
    bool HXLibCurlAppendHeader(int kind, const char* line);
    // Sends one request. `shortTimeouts` is for link-local services (instance
    // metadata) that must answer at once or be taken as absent. Afterwards
    // m_httpStatus holds the response status (0 when none arrived).
    bool HXLibCurlSendHttpReq(int type, const char* url, const void* data, unsigned long size, bool shortTimeouts,
                              const char*);
    // The body of the last response and its length; null with 0 when none.
    const char* GetHttpResponse(unsigned long& size, bool);
    // Hands over the body of the last response without copying it.
    void takeHttpResponse(std::string& body) { body.swap(response_); response_.clear(); }
    // A buffer for the next response, so that its memory is not fetched
    // from the system again for every response.
    void reuseBuffer(std::string&& buffer) {
        response_.swap(buffer);
        response_.clear();
    }
    // The next exchange opens a new connection: after a failure or an
    // answer worth retrying, the old one is not trusted again.
    void freshConnection();
    // RFC 3986 percent-encoding: all but letters, digits and -._~ escaped,
    // with upper-case hex digits.
    bool HXLibCurlUrlEscape(const std::string& in, std::string& out);
    // Whether the next exchanges keep their response headers (names lower
    // case, the last of a repeated name), for services that answer in them.
    void keepResponseHeaders(bool keep) { keepHeaders_ = keep; }
    const std::map<std::string, std::string>& responseHeaders() const { return responseHeaders_; }
    // libcurl's text for the last transport failure, empty when none.
    const std::string& lastError() const { return lastError_; }
    // Whether the last exchange failed in a way that may pass: refused or
    // reset connections, name lookup failures, time-outs and stalls; not a
    // refused certificate or a malformed URL.
    bool lastFailureMayPass() const;

    long m_httpStatus = 0;

private:
    static size_t collect(char* data, size_t size, size_t count, void* self);
    static size_t collectHeader(char* data, size_t size, size_t count, void* self);

    CURL* handle_ = nullptr;
    curl_slist* headers_ = nullptr;
    std::string contentTypeHeader_;
    WriteCallback callback_ = nullptr;
    std::string response_;
    bool keepHeaders_ = false;
    std::map<std::string, std::string> responseHeaders_;
    std::string lastError_;
    CURLcode lastCode_ = CURLE_OK;
    char errorBuffer_[CURL_ERROR_SIZE] = {0};
};
