#include "cli/StoreAccess.h"

#include <cstdio>

#include "framework/LogSink.h"
#include "framework/TeskEnvironment.h"
#include "s3/S3StoreBackend.h"
#include "store/LocalStoreBackend.h"

std::shared_ptr<StoreBackend> openStore(const char* command, const std::string& store, const AwsOptions& aws,
                                        const Verbosity& verbosity, bool mustExist, uint64_t partSize) {
    if (store.compare(0, 5, "s3://") != 0) {
        if (mustExist && !requireStore(command, store)) return nullptr;
        return std::make_shared<LocalStoreBackend>(store);
    }
    S3Location location;
    std::string error;
    if (!parseS3Url(store, location, error)) {
        std::fprintf(stderr, "ddb-backup %s: --store: %s\n", command, error.c_str());
        return nullptr;
    }
    std::string region;
    AmazonCredentials credentials;
    if (!resolveAws(command, aws, verbosity, region, credentials)) return nullptr;
    // Lives as long as the process: the store's requests log and sleep through it.
    static TeskEnvironment environment("s3", std::make_shared<StreamLogSink>(verbosity.verbose));
    S3StoreBackend::Tuning tuning;
    if (partSize > 0) tuning.partSize = static_cast<size_t>(partSize);
    auto backend =
        std::make_shared<S3StoreBackend>(std::make_shared<S3Client>(location, credentials, environment), tuning);
    error = backend->open();
    if (!error.empty()) {
        std::fprintf(stderr, "ddb-backup %s: cannot use the store %s: %s\n", command, store.c_str(), error.c_str());
        return nullptr;
    }
    return backend;
}
