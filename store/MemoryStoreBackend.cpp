#include "store/MemoryStoreBackend.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

class MemoryWriter : public ObjectWriter {
public:
    MemoryWriter(MemoryStoreBackend& backend, std::string key) : backend_(backend), key_(std::move(key)) {}
    bool write(const char* data, size_t length, std::string&) override {
        bytes_.append(data, length);
        return true;
    }
    bool commit(std::string& error) override {
        error = backend_.put(key_, bytes_);
        return error.empty();
    }

private:
    MemoryStoreBackend& backend_;
    const std::string key_;
    std::string bytes_;
};

class MemoryReader : public ObjectReader {
public:
    explicit MemoryReader(std::string bytes) : bytes_(std::move(bytes)) {}
    long read(char* buffer, size_t capacity) override {
        const size_t count = std::min(capacity, bytes_.size() - position_);
        std::memcpy(buffer, bytes_.data() + position_, count);
        position_ += count;
        return static_cast<long>(count);
    }
    std::string error() const override { return ""; }

private:
    const std::string bytes_; // a snapshot: a reader sees the object as it was opened
    size_t position_ = 0;
};

class MemoryLock : public StoreLock {
public:
    explicit MemoryLock(std::function<void()> release) : release_(std::move(release)) {}
    ~MemoryLock() override { release_(); }

private:
    std::function<void()> release_;
};

// Appends each line to the log object, and to stderr when asked.
class ObjectLogSink : public LogSink {
public:
    ObjectLogSink(MemoryStoreBackend& backend, std::string key, bool toStderr)
        : backend_(backend), key_(std::move(key)), stderr_(toStderr) {}
    void write(const std::string& line) override {
        if (stderr_) stderrLogSink()->write(line);
        backend_.append(key_, line + "\n");
    }

private:
    MemoryStoreBackend& backend_;
    const std::string key_;
    const bool stderr_;
};

} // namespace

std::string MemoryStoreBackend::put(const std::string& key, const std::string& data) {
    std::lock_guard<std::mutex> guard(mutex_);
    objects_[key] = data;
    return "";
}

void MemoryStoreBackend::append(const std::string& key, const std::string& data) {
    std::lock_guard<std::mutex> guard(mutex_);
    objects_[key] += data;
}

bool MemoryStoreBackend::get(const std::string& key, std::string& data, std::string& error) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = objects_.find(key);
    if (found == objects_.end()) {
        error = where(key) + ": missing";
        return false;
    }
    data = found->second;
    return true;
}

bool MemoryStoreBackend::exists(const std::string& key) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return objects_.count(key) > 0;
}

std::unique_ptr<ObjectWriter> MemoryStoreBackend::create(const std::string& key, std::string&) {
    return std::make_unique<MemoryWriter>(*this, key);
}

std::unique_ptr<ObjectReader> MemoryStoreBackend::read(const std::string& key, std::string& error) const {
    std::string bytes;
    if (!get(key, bytes, error)) return nullptr;
    return std::make_unique<MemoryReader>(std::move(bytes));
}

void MemoryStoreBackend::remove(const std::string& key) {
    std::lock_guard<std::mutex> guard(mutex_);
    objects_.erase(key);
}

std::vector<std::string> MemoryStoreBackend::list(const std::string& prefix) const {
    const std::string start = prefix.empty() ? "" : prefix + "/";
    std::lock_guard<std::mutex> guard(mutex_);
    std::set<std::string> names;
    for (auto it = objects_.lower_bound(start); it != objects_.end() && it->first.compare(0, start.size(), start) == 0;
         ++it)
        names.insert(it->first.substr(start.size(), it->first.find('/', start.size()) - start.size()));
    return std::vector<std::string>(names.begin(), names.end());
}

std::unique_ptr<StoreLock> MemoryStoreBackend::lock(const std::string& key, bool wait, std::string& error) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!wait && locks_.count(key)) {
        error = where(key) + " is held";
        return nullptr;
    }
    released_.wait(guard, [&] { return locks_.count(key) == 0; });
    locks_.insert(key);
    return std::make_unique<MemoryLock>([this, key] { unlock(key); });
}

void MemoryStoreBackend::unlock(const std::string& key) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        locks_.erase(key);
    }
    released_.notify_all();
}

bool MemoryStoreBackend::isLocked(const std::string& key) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return locks_.count(key) > 0;
}

std::shared_ptr<LogSink> MemoryStoreBackend::openLog(const std::string& key, bool alsoToStderr) {
    return std::make_shared<ObjectLogSink>(*this, key, alsoToStderr);
}

std::vector<std::string> MemoryStoreBackend::keys() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> all;
    for (const auto& object : objects_) all.push_back(object.first);
    return all;
}
