#include "s3/S3StoreBackend.h"

#include <openssl/rand.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/Crypto.h"

namespace {

std::string randomToken() {
    unsigned char bytes[16] = {0};
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        // Unique enough to tell this process's locks from others'.
        const long pid = static_cast<long>(::getpid());
        std::memcpy(bytes, &pid, sizeof pid);
    }
    return HexEncode(bytes, sizeof bytes);
}

std::string hostName() {
    char name[256] = {0};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == 0) return "unknown";
    return name;
}

// A lock object: "<token> <lease end> <host> <pid>\n".
struct LockRecord {
    std::string token;
    int64_t until = 0;
    std::string host;
    long pid = 0;
};

bool readLock(const std::string& body, LockRecord& record) {
    std::istringstream fields(body);
    return static_cast<bool>(fields >> record.token >> record.until >> record.host >> record.pid);
}

// Ended when its lease has, or at once when its owner ran on this host and
// is gone: a backup killed here is resumed without waiting out the lease.
bool lockEnded(const LockRecord& record, int64_t now) {
    if (record.until <= now) return true;
    return record.host == hostName() && record.pid > 0 && ::kill(static_cast<pid_t>(record.pid), 0) != 0 &&
           errno == ESRCH;
}

// The part memory of this thread's writers, handed from one to the next:
// freed and taken again for every chunk, the allocator kept up to two parts
// per thread in memory.
thread_local std::string sparePart;

class S3ObjectWriter : public ObjectWriter {
public:
    S3ObjectWriter(S3StoreBackend& backend, std::string key, size_t partSize)
        : backend_(backend), key_(std::move(key)), partSize_(partSize) {
        buffer_.swap(sparePart);
        buffer_.clear();
    }
    ~S3ObjectWriter() override {
        // Kept only by the thread that made it: a writer is used by one thread.
        if (buffer_.capacity() >= sparePart.capacity()) {
            buffer_.clear();
            buffer_.swap(sparePart);
        }
        if (!committed_ && !uploadId_.empty()) {
            const S3Answer answer = backend_.client().abortUpload(key_, uploadId_);
            if (!answer.ok)
                backend_.client().environment().log(
                    "S3ObjectWriter", backend_.client().describe("aborting the upload of", key_, answer) +
                                          "; a lifecycle rule that aborts incomplete uploads removes its parts");
        }
    }

    bool write(const char* data, size_t length, std::string& error) override {
        // Exactly one part's memory: grown by doubling, it could reach two.
        if (buffer_.capacity() < partSize_) buffer_.reserve(partSize_);
        while (length > 0) {
            const size_t room = partSize_ - buffer_.size();
            const size_t taken = std::min(room, length);
            buffer_.append(data, taken);
            data += taken;
            length -= taken;
            if (buffer_.size() == partSize_ && !sendPart(error)) return false;
        }
        return true;
    }

    bool commit(std::string& error) override {
        S3Client& client = backend_.client();
        if (uploadId_.empty()) {
            S3Answer answer = client.put(key_, buffer_, S3Client::Put{});
            if (!answer.ok) {
                error = client.describe("PUT", key_, answer);
                return false;
            }
        } else {
            if (!buffer_.empty() && !sendPart(error)) return false;
            S3Answer answer = client.completeUpload(key_, uploadId_, etags_);
            if (!answer.ok) {
                error = client.describe("completing the upload of", key_, answer);
                return false;
            }
        }
        committed_ = true;
        backend_.renewLeases();
        return true;
    }

private:
    // One part, retried by the request layer on its own.
    bool sendPart(std::string& error) {
        S3Client& client = backend_.client();
        if (uploadId_.empty()) {
            S3Answer answer = client.createUpload(key_, uploadId_);
            if (!answer.ok) {
                error = client.describe("starting the upload of", key_, answer);
                return false;
            }
        }
        std::string etag;
        S3Answer answer = client.uploadPart(key_, uploadId_, static_cast<int>(etags_.size()) + 1, buffer_, etag);
        if (!answer.ok) {
            error = client.describe("uploading part " + std::to_string(etags_.size() + 1) + " of", key_, answer);
            return false;
        }
        etags_.push_back(etag);
        buffer_.clear();
        backend_.renewLeases();
        return true;
    }

    S3StoreBackend& backend_;
    const std::string key_;
    const size_t partSize_;
    std::string buffer_;
    std::string uploadId_;
    std::vector<std::string> etags_;
    bool committed_ = false;
};

class S3ObjectReader : public ObjectReader {
public:
    S3ObjectReader(S3Client& client, std::string key, int64_t size, std::string etag, size_t blockSize)
        : client_(client), key_(std::move(key)), size_(size), etag_(std::move(etag)), blockSize_(blockSize) {}

    long read(char* buffer, size_t capacity) override {
        if (!error_.empty()) return -1;
        if (at_ == block_.size()) {
            if (offset_ >= size_) return 0;
            const int64_t last = std::min<int64_t>(size_, offset_ + static_cast<int64_t>(blockSize_)) - 1;
            S3Answer answer = client_.get(key_, offset_, last, etag_);
            if (!answer.ok || static_cast<int64_t>(answer.body.size()) != last - offset_ + 1) {
                if (answer.ok) answer.code = "ShortRead";
                if (answer.status == 412) answer.message = "the object changed while it was read";
                error_ = client_.describe("GET", key_, answer);
                return -1;
            }
            block_.swap(answer.body);
            at_ = 0;
            offset_ = last + 1;
        }
        const size_t given = std::min(capacity, block_.size() - at_);
        std::memcpy(buffer, block_.data() + at_, given);
        at_ += given;
        return static_cast<long>(given);
    }
    std::string error() const override { return error_; }

private:
    S3Client& client_;
    const std::string key_;
    const int64_t size_;
    const std::string etag_;
    const size_t blockSize_;
    int64_t offset_ = 0;
    std::string block_;
    size_t at_ = 0;
    std::string error_;
};

class S3Lock : public StoreLock {
public:
    S3Lock(S3StoreBackend& backend, std::string key) : backend_(backend), key_(std::move(key)) {}
    ~S3Lock() override { backend_.releaseLock(key_); }

private:
    S3StoreBackend& backend_;
    const std::string key_;
};

// Lines kept in memory and written whole as the log object: S3 has no
// append. Written when a minute has passed since the last write, and when
// the log closes; bounded, with a line that says what was left out.
class S3LogSink : public LogSink {
public:
    S3LogSink(S3Client& client, std::string key, bool alsoToStderr)
        : client_(client), key_(std::move(key)), toStderr_(alsoToStderr) {}
    ~S3LogSink() override { flush(); }

    void write(const std::string& line) override {
        if (toStderr_) std::fprintf(stderr, "%s\n", line.c_str());
        std::lock_guard<std::mutex> guard(mutex_);
        if (text_.size() + line.size() + 1 > kMaxBytes) {
            ++dropped_;
            return;
        }
        text_.append(line).push_back('\n');
        const int64_t now = client_.environment().clock().now();
        if (now - writtenAt_ >= 60) {
            writtenAt_ = now;
            writeLocked();
        }
    }

private:
    static constexpr size_t kMaxBytes = 8u << 20;

    void flush() {
        std::lock_guard<std::mutex> guard(mutex_);
        writeLocked();
    }
    void writeLocked() {
        std::string body = text_;
        if (dropped_ > 0) body += "(" + std::to_string(dropped_) + " more lines were left out: the log is full)\n";
        client_.put(key_, body, S3Client::Put{});
    }

    S3Client& client_;
    const std::string key_;
    const bool toStderr_;
    std::mutex mutex_;
    std::string text_;      // guarded by mutex_
    size_t dropped_ = 0;    // guarded by mutex_
    int64_t writtenAt_ = 0; // guarded by mutex_
};

} // namespace

S3StoreBackend::S3StoreBackend(std::shared_ptr<S3Client> client, Tuning tuning)
    : client_(std::move(client)), tuning_(tuning), token_(randomToken()) {}

std::string S3StoreBackend::where(const std::string& key) const { return client_->url(key); }

std::string S3StoreBackend::open() {
    std::vector<std::string> names;
    const S3Answer answer = client_->list("", names);
    return answer.ok ? "" : client_->describe("listing", "", answer);
}

std::string S3StoreBackend::put(const std::string& key, const std::string& data) {
    std::string body = data;
    const S3Answer answer = client_->put(key, body, S3Client::Put{});
    if (!answer.ok) return client_->describe("PUT", key, answer);
    renewLeases();
    return "";
}

bool S3StoreBackend::get(const std::string& key, std::string& data, std::string& error) const {
    S3Answer answer = client_->get(key);
    if (!answer.ok) {
        error = client_->describe("GET", key, answer);
        return false;
    }
    data.swap(answer.body);
    return true;
}

namespace {

std::string etagOf(const S3Answer& answer) {
    auto etag = answer.headers.find("etag");
    return etag == answer.headers.end() ? "" : etag->second;
}

} // namespace

bool S3StoreBackend::getVersioned(const std::string& key, std::string& data, std::string& version,
                                  std::string& error) const {
    S3Answer answer = client_->get(key);
    if (!answer.ok) {
        error = client_->describe("GET", key, answer);
        return false;
    }
    version = etagOf(answer);
    if (version.empty()) {
        error = "GET " + client_->url(key) + " gave no ETag, so a change by another writer could not be told";
        return false;
    }
    data.swap(answer.body);
    return true;
}

std::string S3StoreBackend::putIfVersion(const std::string& key, const std::string& data, std::string& version) {
    // Reads the object back: it must hold `data`, whoever wrote it. This
    // is what tells a retried PUT that met its own first attempt (412) from
    // a writer that came between, and what catches a race on a server
    // that ignores the conditions.
    auto confirm = [&](const std::string& why) -> std::string {
        S3Answer stored = client_->get(key);
        if (stored.ok && stored.body == data && !etagOf(stored).empty()) {
            version = etagOf(stored);
            renewLeases();
            return "";
        }
        if (!stored.ok && stored.status != 404) return client_->describe("GET", key, stored);
        return std::string(kChangedByAnotherWriter) + ": " + where(key) + " " +
               (stored.ok ? why : std::string("was removed"));
    };
    const S3Answer before = client_->head(key);
    if (!before.ok && before.status != 404) return client_->describe("HEAD", key, before);
    if ((before.ok ? etagOf(before) : "") != version)
        return confirm("no longer holds the bytes this process last wrote");
    S3Client::Put conditional;
    conditional.ifNoneMatch = version.empty();
    conditional.ifMatch = version;
    std::string body = data;
    const S3Answer put = client_->put(key, body, conditional);
    if (!put.ok && put.status != 412 && put.status != 409) return client_->describe("PUT", key, put);
    return confirm(put.ok ? "was written by another writer at the same time"
                          : "no longer holds the bytes this process last wrote (S3 refused the write: " + put.code + ")");
}

bool S3StoreBackend::exists(const std::string& key) const {
    const S3Answer answer = client_->head(key);
    return answer.ok || answer.status != 404;
}

std::unique_ptr<ObjectWriter> S3StoreBackend::create(const std::string& key, std::string&) {
    return std::make_unique<S3ObjectWriter>(*this, key, std::max<size_t>(tuning_.partSize, 5u << 20));
}

std::unique_ptr<ObjectReader> S3StoreBackend::read(const std::string& key, std::string& error) const {
    const S3Answer answer = client_->head(key);
    if (!answer.ok) {
        error = client_->describe("HEAD", key, answer);
        return nullptr;
    }
    auto length = answer.headers.find("content-length");
    auto etag = answer.headers.find("etag");
    char* end = nullptr;
    const int64_t size = length == answer.headers.end() ? -1 : std::strtoll(length->second.c_str(), &end, 10);
    if (size < 0) {
        error = "HEAD " + client_->url(key) + " gave no Content-Length";
        return nullptr;
    }
    return std::make_unique<S3ObjectReader>(*client_, key, size, etag == answer.headers.end() ? "" : etag->second,
                                            std::max<size_t>(tuning_.blockSize, 64u << 10));
}

void S3StoreBackend::remove(const std::string& key) {
    const S3Answer answer = client_->remove(key);
    if (!answer.ok && answer.status != 404) client_->environment().log("S3StoreBackend", client_->describe("DELETE", key, answer));
}

bool S3StoreBackend::listChecked(const std::string& prefix, std::vector<std::string>& names, std::string& error) const {
    const S3Answer answer = client_->list(prefix, names);
    if (answer.ok) return true;
    // Never part of a listing: the pages read before the failure are not all.
    names.clear();
    error = client_->describe("listing", prefix, answer);
    return false;
}

std::vector<std::string> S3StoreBackend::list(const std::string& prefix) const {
    std::vector<std::string> names;
    std::string error;
    if (!listChecked(prefix, names, error)) client_->environment().log("S3StoreBackend", error);
    return names;
}

// A PUT that succeeded is durable in S3.
std::string S3StoreBackend::sync(const std::string&) { return ""; }

std::string S3StoreBackend::lockBody(int64_t until) const {
    return token_ + " " + std::to_string(until) + " " + hostName() + " " + std::to_string(::getpid()) + "\n";
}

bool S3StoreBackend::takeLock(const std::string& key, std::string& error) {
    const int64_t now = client_->environment().clock().now();
    S3Answer existing = client_->get(key);
    LockRecord record;
    if (existing.ok && readLock(existing.body, record)) {
        if (!lockEnded(record, now)) {
            error = where(key) + " is held by a process on " + record.host + " (pid " + std::to_string(record.pid) +
                    ") until its lease ends in " + std::to_string(record.until - now) + " s";
            return false;
        }
        // Its owner stopped renewing it, or is gone.
        client_->remove(key);
    } else if (!existing.ok && existing.status != 404) {
        error = client_->describe("GET", key, existing);
        return false;
    }
    std::string body = lockBody(now + tuning_.leaseSeconds);
    S3Client::Put conditional;
    conditional.ifNoneMatch = true;
    const S3Answer created = client_->put(key, body, conditional);
    if (!created.ok) {
        error = created.status == 412 || created.status == 409 ? where(key) + " is held by another process"
                                                               : client_->describe("PUT", key, created);
        return false;
    }
    // Where a server ignores If-None-Match, the last writer wins: reading
    // the lock back says whether that was this process.
    S3Answer confirmed = client_->get(key);
    if (!confirmed.ok || !readLock(confirmed.body, record) || record.token != token_) {
        error = where(key) + " is held by another process";
        return false;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    held_[key] = now;
    return true;
}

std::unique_ptr<StoreLock> S3StoreBackend::lock(const std::string& key, bool wait, std::string& error) {
    const int64_t start = client_->environment().clock().now();
    for (;;) {
        if (takeLock(key, error)) return std::make_unique<S3Lock>(*this, key);
        if (!wait || client_->environment().clock().now() - start >= tuning_.lockWaitSeconds) return nullptr;
        client_->environment().clock().sleepMs(1000);
    }
}

void S3StoreBackend::releaseLock(const std::string& key) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        held_.erase(key);
    }
    S3Answer current = client_->get(key);
    LockRecord record;
    if (current.ok && readLock(current.body, record) && record.token == token_) client_->remove(key);
}

bool S3StoreBackend::isLocked(const std::string& key) const {
    S3Answer current = client_->get(key);
    LockRecord record;
    return current.ok && readLock(current.body, record) && !lockEnded(record, client_->environment().clock().now());
}

void S3StoreBackend::renewLeases() {
    const int64_t now = client_->environment().clock().now();
    std::vector<std::string> due;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto& entry : held_)
            if (now - entry.second >= tuning_.leaseSeconds / 4) {
                entry.second = now;
                due.push_back(entry.first);
            }
    }
    for (const auto& key : due) {
        std::string body = lockBody(now + tuning_.leaseSeconds);
        const S3Answer answer = client_->put(key, body, S3Client::Put{});
        if (!answer.ok) client_->environment().log("S3StoreBackend", client_->describe("renewing the lock", key, answer));
    }
}

std::shared_ptr<LogSink> S3StoreBackend::openLog(const std::string& key, bool alsoToStderr) {
    return std::make_shared<S3LogSink>(*client_, key, alsoToStderr);
}
