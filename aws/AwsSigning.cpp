// SigV4 signing and the string helpers it is built from.

#include <cctype>
#include <ctime>

#include <openssl/crypto.h>

#include "aws/AwsRequestService.h"
#include "platform/Crypto.h"

std::string AwsRequestService::lowercase(const std::string& text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string AwsRequestService::trimSpaces(const std::string& text) {
    std::string trimmed;
    trimmed.reserve(text.size());
    bool pendingSpace = false;
    for (char c : text) {
        if (c == ' ') {
            pendingSpace = !trimmed.empty();
            continue;
        }
        if (pendingSpace) trimmed += ' ';
        pendingSpace = false;
        trimmed += c;
    }
    return trimmed;
}

std::string AwsRequestService::hexEncode(const std::string& bytes) { return HexEncode(bytes.data(), bytes.size()); }

std::string AwsRequestService::hmac(const std::string& key, const std::string& data) {
    unsigned char digest[32];
    if (!HMAC_SHA256(digest, key.data(), key.size(), data.data(), data.size())) return std::string();
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string AwsRequestService::sha256(const std::string& data) {
    Sha256Digest digest;
    digest.add(data.data(), data.size());
    return digest.finishHex();
}

namespace {

// The signing key is four HMACs deep, as costly as the rest of a signature,
// and changes only with the day, the region, the service and the secret:
// each thread keeps the last one it derived.
class SigningKeyCache {
public:
    ~SigningKeyCache() {
        OPENSSL_cleanse(&secret_[0], secret_.size());
        OPENSSL_cleanse(&key_[0], key_.size());
    }
    const std::string& key(const std::string& secret, const std::string& date, const std::string& region,
                           const std::string& service) {
        if (key_.empty() || secret != secret_ || date != date_ || region != region_ || service != service_) {
            std::string key = AwsRequestService::hmac("AWS4" + secret, date);
            key = AwsRequestService::hmac(key, region);
            key = AwsRequestService::hmac(key, service);
            key = AwsRequestService::hmac(key, "aws4_request");
            OPENSSL_cleanse(&secret_[0], secret_.size());
            secret_ = secret;
            date_ = date;
            region_ = region;
            service_ = service;
            key_.swap(key);
        }
        return key_;
    }

private:
    std::string secret_, date_, region_, service_;
    std::string key_;
};

} // namespace

bool AwsRequestService::signRequest(AmazonRequest& request) {
    // Names are lower-cased; a later name that folds onto an earlier one wins.
    std::map<std::string, std::string> normalised;
    for (const auto& header : request.headers) {
        if (header.first.empty() || trimSpaces(header.second).empty()) continue;
        normalised[lowercase(header.first)] = header.second;
    }
    normalised.try_emplace("host", request.host);
    if (!request.credentials.sessionToken.empty())
        normalised["x-amz-security-token"] = request.credentials.sessionToken;

    time_t now = static_cast<time_t>(environment.clock().now());
    tm utc{};
    gmtime_r(&now, &utc);
    char dateStamp[48];
    char timeStamp[96];
    std::snprintf(dateStamp, sizeof dateStamp, "%04d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
    std::snprintf(timeStamp, sizeof timeStamp, "%sT%02d%02d%02dZ", dateStamp, utc.tm_hour, utc.tm_min, utc.tm_sec);
    normalised["x-amz-date"] = timeStamp;
    request.headers.swap(normalised);

    std::string canonicalHeaders;
    std::string signedHeaders;
    for (const auto& header : request.headers) {
        std::string value = trimSpaces(header.second);
        if (header.first.empty() || value.empty()) continue;
        canonicalHeaders.append(header.first).append(":").append(value).append("\n");
        signedHeaders.append(header.first).append(";");
    }
    if (!signedHeaders.empty()) signedHeaders.pop_back();

    if (!request.queryParameters.empty()) {
        if (!initCurlObject("text/plain")) return false;
        request.query.clear();
        std::string name;
        std::string value;
        for (const auto& parameter : request.queryParameters) {
            if (!httpClient->HXLibCurlUrlEscape(parameter.first, name) ||
                !httpClient->HXLibCurlUrlEscape(parameter.second, value)) {
                deleteCurlObject();
                return false;
            }
            request.query.append(name).append("=").append(value).append("&");
        }
        if (!request.query.empty()) request.query.pop_back();
        deleteCurlObject();
    }

    static const char* const kMethods[] = {"GET\n", "POST\n", "PUT\n", "DELETE\n", "HEAD\n"};
    std::string canonicalRequest = request.method >= 0 && request.method < 5 ? kMethods[request.method] : "";
    canonicalRequest.append(request.path).append("\n");
    canonicalRequest.append(request.query).append("\n");
    canonicalRequest.append(canonicalHeaders).append("\n");
    canonicalRequest.append(signedHeaders).append("\n");
    // S3 signs the payload hash it is sent in x-amz-content-sha256; the body
    // is then hashed once, by whoever set the header.
    auto payloadHash = request.headers.find("x-amz-content-sha256");
    canonicalRequest.append(payloadHash != request.headers.end() ? payloadHash->second : sha256(request.body));

    const std::string region = request.credentials.region.empty() ? "us-east-1" : request.credentials.region;
    const std::string scope = std::string(dateStamp) + "/" + region + "/" + request.service + "/aws4_request";
    const std::string stringToSign =
        std::string("AWS4-HMAC-SHA256\n") + timeStamp + "\n" + scope + "\n" + sha256(canonicalRequest);

    thread_local SigningKeyCache keys;
    const std::string& key = keys.key(request.credentials.secretAccessKey, dateStamp, region, request.service);
    const std::string signature = hexEncode(hmac(key, stringToSign));

    request.headers["Authorization"] = "AWS4-HMAC-SHA256 Credential=" + request.credentials.accessKeyId + "/" + scope +
                                       ", SignedHeaders=" + signedHeaders + ", Signature=" + signature;
    return true;
}
