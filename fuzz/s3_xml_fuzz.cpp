// S3's XML answers (errors, listings, multipart uploads) as a server or
// anything between could send them: no crash, and a listing said to go on
// always says where.

#include "fuzz/FuzzInput.h"
#include "s3/S3Xml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzzText(data, size);
    s3xml::ErrorAnswer error;
    if (s3xml::parseError(text, error)) FUZZ_CHECK(!error.code.empty());
    s3xml::ListPage page;
    if (s3xml::parseListPage(text, page)) FUZZ_CHECK(!page.truncated || !page.nextToken.empty());
    std::string uploadId;
    if (s3xml::parseUploadId(text, uploadId)) FUZZ_CHECK(!uploadId.empty());
    // What is escaped reads back as itself.
    const std::string body = s3xml::completeUploadBody({text});
    FUZZ_CHECK(body.find("<ETag>" + s3xml::escape(text) + "</ETag>") != std::string::npos);
    return 0;
}
