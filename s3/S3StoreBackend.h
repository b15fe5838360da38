#pragma once
// A backup store in an S3 bucket, under a prefix: the same keys, layout and
// manifests as a local store, one object per file.
//  - Objects are written whole: below `partSize` with one PUT, above it as a
//    multipart upload whose parts are sent as they fill, so a writer holds
//    at most one part. Every PUT carries its SHA-256, so S3 refuses a body
//    changed in transit. An upload never completed is aborted.
//  - Objects are read in ranged blocks of `blockSize`, each only while the
//    object's ETag is the one the read began with.
//  - Manifests are replaced only while their ETag is the one their writer
//    last saw (a compare-and-swap), so a job is written by one writer.
//  - Locks are objects created only where none exists (If-None-Match: *,
//    confirmed by reading it back where a server ignores the condition).
//    Each holds its owner's token, the second its lease ends, and its host
//    and process; the owner renews the lease as it writes, and a lock whose
//    lease has ended, or whose owner on this host is gone, is taken over.
//  - Logs are kept in memory and written as an object now and then and when
//    they close.

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "s3/S3Client.h"
#include "store/StoreBackend.h"

class S3StoreBackend : public StoreBackend {
public:
    struct Tuning {
        // At least 5 MiB, S3's smallest part. Each segment's writer holds one
        // part, so the smallest keeps a 4-segment backup well within 64 MB.
        size_t partSize = 5u << 20;
        size_t blockSize = 1u << 20; // bytes a reader fetches at once
        int64_t leaseSeconds = 30 * 60;
        int64_t lockWaitSeconds = 120; // how long a waiting lock tries
    };

    S3StoreBackend(std::shared_ptr<S3Client> client, Tuning tuning);
    explicit S3StoreBackend(std::shared_ptr<S3Client> client) : S3StoreBackend(std::move(client), Tuning()) {}

    std::string where(const std::string& key) const override;
    std::string open() override;
    std::string put(const std::string& key, const std::string& data) override;
    bool get(const std::string& key, std::string& data, std::string& error) const override;
    // On ETags, with If-None-Match: * or If-Match; the ETag is checked
    // before and the bytes read back after, for servers that ignore them.
    std::string putIfVersion(const std::string& key, const std::string& data, std::string& version) override;
    bool getVersioned(const std::string& key, std::string& data, std::string& version,
                      std::string& error) const override;
    bool exists(const std::string& key) const override;
    std::unique_ptr<ObjectWriter> create(const std::string& key, std::string& error) override;
    std::unique_ptr<ObjectReader> read(const std::string& key, std::string& error) const override;
    void remove(const std::string& key) override;
    std::vector<std::string> list(const std::string& prefix) const override;
    bool listChecked(const std::string& prefix, std::vector<std::string>& names, std::string& error) const override;
    std::string sync(const std::string& prefix) override;
    std::unique_ptr<StoreLock> lock(const std::string& key, bool wait, std::string& error) override;
    bool isLocked(const std::string& key) const override;
    std::shared_ptr<LogSink> openLog(const std::string& key, bool alsoToStderr) override;

    // Renews the leases of the locks this process holds that are due.
    void renewLeases();
    // Given up by a lock object as it ends: removed if it is still ours.
    void releaseLock(const std::string& key);

    S3Client& client() const { return *client_; }

private:
    bool takeLock(const std::string& key, std::string& error);
    std::string lockBody(int64_t until) const;

    std::shared_ptr<S3Client> client_;
    const Tuning tuning_;
    const std::string token_; // this process's locks say it is theirs
    std::mutex mutex_;
    std::map<std::string, int64_t> held_; // guarded by mutex_: lock key -> second its lease was last written
};
