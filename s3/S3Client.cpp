#include "s3/S3Client.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>

#include "aws/AwsRequestService.h"
#include "aws/CredentialRefresh.h"
#include "aws/Endpoints.h"
#include "platform/HXLibCurl.h"
#include "s3/S3Xml.h"

namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool validBucket(const std::string& bucket) {
    if (bucket.size() < 3 || bucket.size() > 63) return false;
    for (char c : bucket)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-')) return false;
    return bucket.front() != '.' && bucket.front() != '-' && bucket.back() != '.' && bucket.back() != '-';
}

// S3's canonical URI: every byte but the unreserved ones and '/' escaped,
// once; the same text is sent and signed.
std::string uriEncode(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// Retried by the request layer: 500 InternalError, 503 SlowDown, and the
// 429 some S3-compatible stores answer instead.
bool retryS3(AmazonResponse& response) {
    return response.httpCode == 500 || response.httpCode == 503 || response.httpCode == 429;
}

std::string authorityOf(const std::string& endpoint) {
    const size_t scheme = endpoint.find("://");
    return scheme == std::string::npos ? endpoint : endpoint.substr(scheme + 3);
}

std::string schemeOf(const std::string& endpoint) {
    const size_t scheme = endpoint.find("://");
    return scheme == std::string::npos ? "https://" : endpoint.substr(0, scheme + 3);
}

std::string s3Endpoint() {
    AmazonRequest probe;
    probe.service = "s3";
    return endpoints::overrideFor(probe);
}

} // namespace

bool parseS3Url(const std::string& url, S3Location& location, std::string& error) {
    if (url.compare(0, 5, "s3://") != 0) {
        error = "'" + url + "' is not an s3:// URL";
        return false;
    }
    const std::string rest = url.substr(5);
    const size_t slash = rest.find('/');
    location.bucket = rest.substr(0, slash);
    location.prefix = slash == std::string::npos ? "" : rest.substr(slash + 1);
    while (!location.prefix.empty() && location.prefix.back() == '/') location.prefix.pop_back();
    if (!validBucket(location.bucket)) {
        error = "'" + location.bucket + "' in " + url +
                " is not a bucket name (3 to 63 lower-case letters, digits, dots and hyphens)";
        return false;
    }
    if (location.prefix.find("//") != std::string::npos || (!location.prefix.empty() && location.prefix[0] == '/')) {
        error = "the prefix of " + url + " holds an empty folder name";
        return false;
    }
    return true;
}

namespace {

// AWS_S3_FORCE_PATH_STYLE=true or false decides; else a custom endpoint (a
// local server seldom answers for bucket names) and a dotted bucket name
// (no certificate covers it as a host name) are addressed by path.
bool addressedByPath(const std::string& endpoint, const std::string& bucket) {
    const std::string forced = variable("AWS_S3_FORCE_PATH_STYLE");
    if (strcasecmp(forced.c_str(), "true") == 0) return true;
    if (strcasecmp(forced.c_str(), "false") == 0) return bucket.find('.') != std::string::npos;
    return !endpoint.empty() || bucket.find('.') != std::string::npos;
}

} // namespace

S3Client::S3Client(S3Location location, AmazonCredentials credentials, TeskEnvironment& environment)
    : location_(std::move(location)),
      environment_(environment),
      endpoint_(s3Endpoint()),
      pathStyle_(addressedByPath(endpoint_, location_.bucket)),
      credentials_(std::move(credentials)) {}

std::string S3Client::objectKey(const std::string& key) const {
    if (location_.prefix.empty()) return key;
    return key.empty() ? location_.prefix : location_.prefix + "/" + key;
}

std::string S3Client::url(const std::string& key) const { return "s3://" + location_.bucket + "/" + objectKey(key); }

S3Answer S3Client::sendOnce(int method, const std::string& key, const std::map<std::string, std::string>& query,
                            const std::map<std::string, std::string>& headers, std::string& body,
                            AmazonCredentials credentials) {
    AmazonRequest request;
    request.credentials = std::move(credentials);
    if (request.credentials.region.empty()) request.credentials.region = "us-east-1";
    request.method = method;
    request.service = "s3";
    request.keepResponseHeaders = true;
    const std::string object = key.empty() ? "" : uriEncode(key);
    if (pathStyle_) {
        request.scheme = endpoint_.empty() ? "https://" : schemeOf(endpoint_);
        request.host = endpoint_.empty() ? "s3." + request.credentials.region +
                                               endpoints::domainSuffix(request.credentials.region)
                                         : authorityOf(endpoint_);
        request.path = "/" + location_.bucket + "/" + object;
    } else {
        request.scheme = endpoint_.empty() ? "https://" : schemeOf(endpoint_);
        request.host = location_.bucket + "." +
                       (endpoint_.empty() ? "s3." + request.credentials.region +
                                                endpoints::domainSuffix(request.credentials.region)
                                          : authorityOf(endpoint_));
        request.path = "/" + object;
    }
    request.queryParameters = query;
    request.headers = headers;
    request.headers["x-amz-content-sha256"] = AwsRequestService::sha256(body);
    request.headers.emplace("content-type", "application/octet-stream");
    // Lent to the request and handed back, so that a part is never copied.
    request.body.swap(body);
    AwsRequestService service(environment_, &retryS3);
    AmazonResponse response = service.execute(request);
    request.body.swap(body);
    S3Answer answer;
    answer.ok = response.success;
    answer.status = response.httpCode;
    answer.body = std::move(response.body);
    answer.headers = std::move(response.headers);
    s3xml::ErrorAnswer error;
    // CompleteMultipartUpload can fail after its 200 has been sent: the
    // error then comes as the body.
    if (!answer.body.empty() && s3xml::parseError(answer.body, error)) {
        answer.ok = false;
        answer.code = error.code;
        answer.message = error.message;
        if (!error.region.empty() && !answer.headers.count("x-amz-bucket-region"))
            answer.headers["x-amz-bucket-region"] = error.region;
    } else if (!answer.ok) {
        answer.code = answer.status == 600 ? "NoAnswer"
                      : answer.status == 404 ? "NotFound"
                      : answer.status == 403 ? "Forbidden"
                      : answer.status == 412 ? "PreconditionFailed"
                                             : "HTTP" + std::to_string(answer.status);
        if (answer.status == 600) answer.message = response.failure;
    }
    return answer;
}

S3Answer S3Client::send(int method, const std::string& key, const std::map<std::string, std::string>& query,
                        std::map<std::string, std::string> headers, std::string& body) {
    return sendTo(method, objectKey(key), query, headers, body);
}

S3Answer S3Client::sendTo(int method, const std::string& object, const std::map<std::string, std::string>& query,
                          const std::map<std::string, std::string>& headers, std::string& body) {
    AmazonCredentials credentials;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (credentialsDueForRefresh(credentials_, environment_.clock().now()))
            refreshCredentials(environment_, credentials_);
        credentials = credentials_;
    }
    S3Answer answer = sendOnce(method, object, query, headers, body, credentials);
    auto region = answer.headers.find("x-amz-bucket-region");
    if (!answer.ok && region != answer.headers.end() && !region->second.empty() &&
        region->second != credentials.region && (answer.status == 301 || answer.status == 400 || answer.status == 403)) {
        environment_.log("S3Client", "bucket " + location_.bucket + " is in " + region->second + ", not " +
                                         credentials.region + "; its requests go there");
        {
            std::lock_guard<std::mutex> guard(mutex_);
            credentials_.region = region->second;
        }
        credentials.region = region->second;
        answer = sendOnce(method, object, query, headers, body, credentials);
    }
    return answer;
}

S3Answer S3Client::put(const std::string& key, std::string& body, const Put& options) {
    std::map<std::string, std::string> headers;
    if (options.ifNoneMatch) headers["If-None-Match"] = "*";
    if (!options.ifMatch.empty()) headers["If-Match"] = options.ifMatch;
    return send(HXLibCurl::kPut, key, {}, headers, body);
}

S3Answer S3Client::get(const std::string& key, int64_t first, int64_t last, const std::string& ifMatch) {
    std::map<std::string, std::string> headers;
    if (last >= 0) headers["Range"] = "bytes=" + std::to_string(first) + "-" + std::to_string(last);
    if (!ifMatch.empty()) headers["If-Match"] = ifMatch;
    std::string none;
    return send(HXLibCurl::kGet, key, {}, headers, none);
}

S3Answer S3Client::head(const std::string& key) {
    std::string none;
    return send(HXLibCurl::kHead, key, {}, {}, none);
}

S3Answer S3Client::remove(const std::string& key) {
    std::string none;
    return send(HXLibCurl::kDelete, key, {}, {}, none);
}

S3Answer S3Client::listPages(const std::string& prefix, bool oneLevel, std::vector<std::string>& names) {
    names.clear();
    std::string below = objectKey(prefix);
    if (!below.empty()) below += "/";
    std::map<std::string, std::string> query{{"list-type", "2"}, {"prefix", below}};
    if (oneLevel) query["delimiter"] = "/";
    if (listPageSize_ != 1000) query["max-keys"] = std::to_string(listPageSize_);
    for (;;) {
        // The bucket itself, with the store's folder as the prefix.
        const std::string saved = below;
        std::string none;
        S3Answer answer = sendTo(HXLibCurl::kGet, "", query, {}, none);
        if (!answer.ok) return answer;
        s3xml::ListPage page;
        if (!s3xml::parseListPage(answer.body, page)) {
            answer.ok = false;
            answer.code = "MalformedListing";
            answer.message = "the listing is not a ListBucketResult";
            return answer;
        }
        auto relative = [&](std::string name) {
            name.erase(0, saved.size());
            if (!name.empty() && name.back() == '/') name.pop_back();
            return name;
        };
        for (const auto& key : page.keys)
            if (key.compare(0, saved.size(), saved) == 0 && key.size() > saved.size()) names.push_back(relative(key));
        for (const auto& deeper : page.prefixes)
            if (deeper.compare(0, saved.size(), saved) == 0 && deeper.size() > saved.size())
                names.push_back(relative(deeper));
        if (!page.truncated) break;
        query["continuation-token"] = page.nextToken;
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    S3Answer done;
    done.ok = true;
    done.status = 200;
    return done;
}

S3Answer S3Client::list(const std::string& prefix, std::vector<std::string>& names) {
    return listPages(prefix, true, names);
}

S3Answer S3Client::listAll(const std::string& prefix, std::vector<std::string>& keys) {
    S3Answer answer = listPages(prefix, false, keys);
    for (auto& key : keys) key = prefix.empty() ? key : prefix + "/" + key;
    return answer;
}

S3Answer S3Client::createUpload(const std::string& key, std::string& uploadId) {
    std::string none;
    S3Answer answer = send(HXLibCurl::kPost, key, {{"uploads", ""}}, {}, none);
    if (answer.ok && !s3xml::parseUploadId(answer.body, uploadId)) {
        answer.ok = false;
        answer.code = "MalformedAnswer";
        answer.message = "the answer to CreateMultipartUpload names no UploadId";
    }
    return answer;
}

S3Answer S3Client::uploadPart(const std::string& key, const std::string& uploadId, int part, std::string& body,
                              std::string& etag) {
    S3Answer answer =
        send(HXLibCurl::kPut, key, {{"partNumber", std::to_string(part)}, {"uploadId", uploadId}}, {}, body);
    if (!answer.ok) return answer;
    auto found = answer.headers.find("etag");
    if (found == answer.headers.end() || found->second.empty()) {
        answer.ok = false;
        answer.code = "MalformedAnswer";
        answer.message = "the answer to UploadPart carries no ETag";
        return answer;
    }
    etag = found->second;
    return answer;
}

S3Answer S3Client::completeUpload(const std::string& key, const std::string& uploadId,
                                  const std::vector<std::string>& etags) {
    std::string body = s3xml::completeUploadBody(etags);
    return send(HXLibCurl::kPost, key, {{"uploadId", uploadId}}, {{"content-type", "application/xml"}}, body);
}

S3Answer S3Client::abortUpload(const std::string& key, const std::string& uploadId) {
    std::string none;
    return send(HXLibCurl::kDelete, key, {{"uploadId", uploadId}}, {}, none);
}

std::string S3Client::describe(const std::string& action, const std::string& key, const S3Answer& answer) const {
    std::string text = action + " " + url(key) + " failed: " + answer.code;
    if (answer.status != 600) text += " (HTTP " + std::to_string(answer.status) + ")";
    if (!answer.message.empty()) text += ": " + answer.message;
    if (answer.code == "NoSuchKey" || answer.code == "NotFound")
        text += "; the object is missing";
    else if (answer.code == "NoSuchBucket")
        text += "; bucket " + location_.bucket + " does not exist: create it, or give the bucket the store is in";
    else if (answer.code == "AccessDenied" || answer.code == "Forbidden")
        text += "; the credentials may not do this: see the IAM policy the README gives for the store";
    else if (answer.code == "PermanentRedirect" || answer.code == "AuthorizationHeaderMalformed" ||
             answer.code == "IllegalLocationConstraintException")
        text += "; the bucket is in another region: give it with --region";
    else if (answer.code == "SignatureDoesNotMatch" || answer.code == "InvalidAccessKeyId")
        text += "; check the credentials and the endpoint";
    else if (answer.code == "NoAnswer" && answer.message.empty())
        text += "; check the endpoint and the network";
    return text;
}
