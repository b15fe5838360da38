#include "platform/HXLibCurl.h"

#include <cctype>
#include <mutex>

namespace {
void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::mutex limitsMutex;
TransportLimits limits; // guarded by limitsMutex
} // namespace

void HXLibCurl::setTransportLimits(const TransportLimits& given) {
    std::lock_guard<std::mutex> guard(limitsMutex);
    limits = given;
}

TransportLimits HXLibCurl::transportLimits() {
    std::lock_guard<std::mutex> guard(limitsMutex);
    return limits;
}

bool HXLibCurl::lastFailureMayPass() const {
    switch (lastCode_) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

namespace {

// The connections, DNS answers and TLS sessions of one thread's exchanges.
// Each exchange gets a fresh easy handle, and a handle attached to the share
// finds the open connection of the one before it instead of connecting
// again. Only the owning thread uses its share, so it needs no locks.
class ThreadShare {
public:
    ThreadShare() : share_(curl_share_init()) {
        if (!share_) return;
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    ~ThreadShare() {
        if (share_) curl_share_cleanup(share_);
    }
    CURLSH* get() const { return share_; }

private:
    CURLSH* share_;
};

CURLSH* threadShare() {
    thread_local ThreadShare share;
    return share.get();
}

// Drives one thread's exchanges. curl_easy_perform would build a multi
// handle of its own, with its wake-up socket pair, for every fresh easy
// handle and tear it down with it: per request, a cost larger than the
// signing. One per thread keeps that to once.
class ThreadMulti {
public:
    ThreadMulti() : multi_(curl_multi_init()) {}
    ~ThreadMulti() {
        if (multi_) curl_multi_cleanup(multi_);
    }
    CURLM* get() const { return multi_; }

private:
    CURLM* multi_;
};

CURLM* threadMulti() {
    thread_local ThreadMulti multi;
    return multi.get();
}

// curl_easy_perform through the thread's multi handle: the same transfer,
// limits and result. `multiError` is set when the multi interface itself
// failed (the transfer's own failures come back as its result).
CURLcode perform(CURL* easy, std::string& multiError) {
    CURLM* multi = threadMulti();
    if (!multi || curl_multi_add_handle(multi, easy) != CURLM_OK) return curl_easy_perform(easy);
    CURLcode result = CURLE_GOT_NOTHING;
    for (bool done = false; !done;) {
        int running = 0;
        CURLMcode code = curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued))
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                result = message->data.result;
                done = true;
            }
        // Waits at most until the transfer's next time-out is due.
        if (code == CURLM_OK && !done && running > 0) code = curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        if (code != CURLM_OK) {
            multiError = curl_multi_strerror(code);
            result = CURLE_RECV_ERROR;
            break;
        }
        if (!done && running == 0) break; // ended without a result: nothing came back
    }
    curl_multi_remove_handle(multi, easy);
    return result;
}

} // namespace

HXLibCurl::HXLibCurl() { initialiseCurlOnce(); }

HXLibCurl::~HXLibCurl() {
    HXLibCurlFreeHttpHeaderList();
    if (handle_) curl_easy_cleanup(handle_);
}

bool HXLibCurl::HXLibCurlInit(const char* contentTypeHeader, bool, bool, WriteCallback callback) {
    if (!handle_) handle_ = curl_easy_init();
    if (!handle_) return false;
    contentTypeHeader_ = contentTypeHeader ? contentTypeHeader : "";
    callback_ = callback;
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(handle_, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle_, CURLOPT_ACCEPT_ENCODING, "");
    if (CURLSH* share = threadShare()) curl_easy_setopt(handle_, CURLOPT_SHARE, share);
    return true;
}

bool HXLibCurl::HXLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value) {
    if (!handle_) return false;
    return curl_easy_setopt(handle_, option, static_cast<long>(value)) == CURLE_OK;
}

void HXLibCurl::HXLibCurlFreeHttpHeaderList() {
    if (headers_) curl_slist_free_all(headers_);
    headers_ = nullptr;
}

bool HXLibCurl::HXLibCurlAppendHeader(int, const char* line) {
    curl_slist* appended = curl_slist_append(headers_, line);
    if (!appended) return false;
    headers_ = appended;
    return true;
}

size_t HXLibCurl::collect(char* data, size_t size, size_t count, void* self) {
    auto* client = static_cast<HXLibCurl*>(self);
    if (client->response_.empty()) {
        // One allocation for the whole body instead of a copy at every
        // doubling. A reused buffer that is too small grows with room to
        // spare: pages of one size class (Scan's 1 MB) then fit in it from
        // the second on, instead of each larger one taking fresh memory and
        // faulting in every page of it.
        curl_off_t length = -1;
        if (curl_easy_getinfo(client->handle_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
            length > 0 && length < (curl_off_t(1) << 30) && static_cast<size_t>(length) > client->response_.capacity()) {
            const size_t wanted = static_cast<size_t>(length);
            client->response_.reserve(client->response_.capacity() == 0 ? wanted : wanted + wanted / 4);
        }
    }
    client->response_.append(data, size * count);
    return size * count;
}

size_t HXLibCurl::collectHeader(char* data, size_t size, size_t count, void* self) {
    auto* client = static_cast<HXLibCurl*>(self);
    const size_t length = size * count;
    const std::string line(data, length);
    const size_t colon = line.find(':');
    if (colon == std::string::npos) {
        // A status line starts the headers of a new response (after a 100 Continue).
        if (line.compare(0, 5, "HTTP/") == 0) client->responseHeaders_.clear();
        return length;
    }
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t begin = line.find_first_not_of(" \t", colon + 1);
    const size_t end = line.find_last_not_of(" \t\r\n");
    client->responseHeaders_[name] = begin == std::string::npos || end < begin ? "" : line.substr(begin, end - begin + 1);
    return length;
}

bool HXLibCurl::HXLibCurlSendHttpReq(int type, const char* url, const void* data, unsigned long size,
                                     bool shortTimeouts, const char*) {
    m_httpStatus = 0;
    response_.clear();
    responseHeaders_.clear();
    lastError_.clear();
    lastCode_ = CURLE_OK;
    errorBuffer_[0] = 0;
    if (!handle_) {
        lastError_ = "HTTP client not initialised";
        return false;
    }
    curl_slist* requestHeaders = nullptr;
    bool headersOk = true;
    if (!contentTypeHeader_.empty()) {
        requestHeaders = curl_slist_append(requestHeaders, contentTypeHeader_.c_str());
        headersOk = requestHeaders != nullptr;
    }
    for (curl_slist* header = headers_; header && headersOk; header = header->next) {
        curl_slist* appended = curl_slist_append(requestHeaders, header->data);
        if (appended) requestHeaders = appended;
        headersOk = appended != nullptr;
    }
    // libcurl would otherwise add "Expect: 100-continue" to larger bodies and
    // wait for an answer some endpoints never send.
    if (headersOk) {
        curl_slist* appended = curl_slist_append(requestHeaders, "Expect:");
        if (appended) requestHeaders = appended;
        headersOk = appended != nullptr;
    }
    if (!headersOk) {
        curl_slist_free_all(requestHeaders);
        lastError_ = "out of memory building request headers";
        return false;
    }

    curl_easy_setopt(handle_, CURLOPT_URL, url);
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, requestHeaders);
    if (callback_) {
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, callback_);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, this);
    } else {
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &HXLibCurl::collect);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, this);
    }
    if (keepHeaders_) {
        curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, &HXLibCurl::collectHeader);
        curl_easy_setopt(handle_, CURLOPT_HEADERDATA, this);
    } else {
        curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, nullptr);
    }
    curl_easy_setopt(handle_, CURLOPT_NOBODY, type == kHead ? 1L : 0L);
    switch (type) {
    case kPost:
        curl_easy_setopt(handle_, CURLOPT_POST, 1L);
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, data ? data : "");
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(data ? size : 0));
        break;
    case kPut:
        curl_easy_setopt(handle_, CURLOPT_CUSTOMREQUEST, "PUT");
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, data ? data : "");
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(data ? size : 0));
        break;
    case kDelete:
        curl_easy_setopt(handle_, CURLOPT_CUSTOMREQUEST, "DELETE");
        break;
    case kHead:
        break;
    default:
        curl_easy_setopt(handle_, CURLOPT_HTTPGET, 1L);
        break;
    }
    if (shortTimeouts) {
        curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT_MS, 1000L);
        curl_easy_setopt(handle_, CURLOPT_TIMEOUT_MS, 3000L);
    } else {
        const TransportLimits given = transportLimits();
        curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT_MS, given.connectTimeoutMs);
        // No overall limit: a large page on a slow link is fine as long as it
        // keeps moving; a stalled one is cut.
        curl_easy_setopt(handle_, CURLOPT_TIMEOUT_MS, 0L);
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, given.lowSpeedBytes);
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, given.lowSpeedSeconds);
    }

    std::string multiError;
    CURLcode code = perform(handle_, multiError);
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(requestHeaders);
    long status = 0;
    curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
    m_httpStatus = status;
    if (code != CURLE_OK) {
        lastCode_ = code;
        lastError_ = !multiError.empty() ? multiError : errorBuffer_[0] ? errorBuffer_ : curl_easy_strerror(code);
        return false;
    }
    return true;
}

void HXLibCurl::freshConnection() {
    if (handle_) curl_easy_setopt(handle_, CURLOPT_FRESH_CONNECT, 1L);
}

const char* HXLibCurl::GetHttpResponse(unsigned long& size, bool) {
    size = static_cast<unsigned long>(response_.size());
    return response_.empty() ? nullptr : response_.data();
}

bool HXLibCurl::HXLibCurlUrlEscape(const std::string& in, std::string& out) {
    out.clear();
    if (in.empty()) return true;
    if (!handle_) handle_ = curl_easy_init();
    if (!handle_) return false;
    char* escaped = curl_easy_escape(handle_, in.data(), static_cast<int>(in.size()));
    if (!escaped) return false;
    out = escaped;
    curl_free(escaped);
    return true;
}
