#pragma once
// The few XML answers of S3 the store reads: errors, object listings and
// multipart uploads. Each is read with expat into the values the store needs.

#include <string>
#include <vector>

namespace s3xml {

// <Error><Code/><Message/><Region/></Error>; false when the text is not one.
struct ErrorAnswer {
    std::string code;
    std::string message;
    std::string region;
};
bool parseError(const std::string& text, ErrorAnswer& answer);

// ListObjectsV2: the keys (Contents/Key) and common prefixes of one page.
struct ListPage {
    std::vector<std::string> keys;
    std::vector<std::string> prefixes;
    bool truncated = false;
    std::string nextToken;
};
bool parseListPage(const std::string& text, ListPage& page);

// The UploadId of an InitiateMultipartUploadResult.
bool parseUploadId(const std::string& text, std::string& uploadId);

// The body of CompleteMultipartUpload for parts 1..n with these ETags.
std::string completeUploadBody(const std::vector<std::string>& etags);

// `text` with &, <, >, " and ' escaped.
std::string escape(const std::string& text);

} // namespace s3xml
