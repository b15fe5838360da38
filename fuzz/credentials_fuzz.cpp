// Instance metadata and STS answers: credentials come out whole or not at
// all.

#include "aws/AwsCredentialSources.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body = fuzzText(data, size);
    AmazonCredentials before;
    before.accessKeyId = "before";
    AmazonCredentials metadata = before;
    if (readMetadataCredentials(body, metadata))
        FUZZ_CHECK(!metadata.accessKeyId.empty() && !metadata.secretAccessKey.empty());
    else
        FUZZ_CHECK(metadata.accessKeyId == "before" && metadata.secretAccessKey.empty());
    AmazonCredentials role = before;
    std::string missing;
    if (readAssumeRoleAnswer(body, role, missing))
        FUZZ_CHECK(!role.sessionToken.empty() && role.expiration > 0);
    else
        FUZZ_CHECK(role.accessKeyId == "before" && !missing.empty());
    return 0;
}
