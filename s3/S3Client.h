#pragma once
// The S3 calls a backup store makes, signed with SigV4 (service "s3") and
// sent through the request layer, so that they share its retries on 500
// and 503 SlowDown, its back-off on the clock seam and its transport limits.
// Path-style addressing for a custom endpoint (AWS_ENDPOINT_URL_S3,
// AWS_ENDPOINT_URL), a dotted bucket name, or when AWS_S3_FORCE_PATH_STYLE
// is true; virtual-hosted otherwise, and whenever it is false (on a custom
// endpoint, the bucket then prefixes the endpoint's host). The region follows the bucket: an answer naming another region
// in x-amz-bucket-region is sent again there, once.
// Thread safety: every call may be made from any thread.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "aws/AmazonCredentials.h"
#include "framework/TeskEnvironment.h"

// s3://BUCKET[/PREFIX]
struct S3Location {
    std::string bucket;
    std::string prefix; // without leading or trailing '/'; may be empty
};
// False with why when `url` is not an s3:// URL with a valid bucket name.
bool parseS3Url(const std::string& url, S3Location& location, std::string& error);

struct S3Answer {
    bool ok = false;
    int status = 0;     // HTTP status; 600 when no request could be made
    std::string code;   // S3's error code, or a name for a transport failure
    std::string message;
    std::string body;
    std::map<std::string, std::string> headers; // names lower case
};

class S3Client {
public:
    S3Client(S3Location location, AmazonCredentials credentials, TeskEnvironment& environment);

    const S3Location& location() const { return location_; }
    // s3://bucket/<object key of `key`>, for messages.
    std::string url(const std::string& key) const;
    // The object key of a store key: the prefix, then the key.
    std::string objectKey(const std::string& key) const;

    struct Put {
        bool ifNoneMatch = false; // only when no object has the key
        std::string ifMatch;      // only while the object's ETag is this one
    };
    // Bodies are lent to the request, not copied, and come back unchanged.
    S3Answer put(const std::string& key, std::string& body, const Put& options);
    // The object, or the bytes `first`..`last` of it (inclusive) when
    // `last` >= 0, only while its ETag is still `ifMatch` when one is given.
    S3Answer get(const std::string& key, int64_t first = 0, int64_t last = -1, const std::string& ifMatch = "");
    S3Answer head(const std::string& key);
    S3Answer remove(const std::string& key);
    // The names directly below `prefix` (a store key, "" for the root):
    // objects and deeper prefixes, through every page.
    S3Answer list(const std::string& prefix, std::vector<std::string>& names);
    // Every object key (relative to the store) below `prefix`, all depths.
    S3Answer listAll(const std::string& prefix, std::vector<std::string>& keys);

    S3Answer createUpload(const std::string& key, std::string& uploadId);
    S3Answer uploadPart(const std::string& key, const std::string& uploadId, int part, std::string& body,
                        std::string& etag);
    S3Answer completeUpload(const std::string& key, const std::string& uploadId,
                            const std::vector<std::string>& etags);
    S3Answer abortUpload(const std::string& key, const std::string& uploadId);

    // What failed, where, S3's code, and what the user can do about it.
    std::string describe(const std::string& action, const std::string& key, const S3Answer& answer) const;

    TeskEnvironment& environment() { return environment_; }
    // Keys a listing page asks for (S3's limit and default is 1000).
    void setListPageSize(int keys) { listPageSize_ = keys; }

private:
    S3Answer send(int method, const std::string& key, const std::map<std::string, std::string>& query,
                  std::map<std::string, std::string> headers, std::string& body);
    // To an object key ("" for the bucket), once more in the bucket's own
    // region when the answer names another.
    S3Answer sendTo(int method, const std::string& object, const std::map<std::string, std::string>& query,
                    const std::map<std::string, std::string>& headers, std::string& body);
    S3Answer sendOnce(int method, const std::string& key, const std::map<std::string, std::string>& query,
                      const std::map<std::string, std::string>& headers, std::string& body,
                      AmazonCredentials credentials);
    S3Answer listPages(const std::string& prefix, bool oneLevel, std::vector<std::string>& names);

    const S3Location location_;
    TeskEnvironment& environment_;
    const std::string endpoint_; // scheme://host[:port] of a custom endpoint, or empty
    const bool pathStyle_;
    int listPageSize_ = 1000;
    std::mutex mutex_;
    AmazonCredentials credentials_; // guarded by mutex_; its region is the bucket's once known
};
