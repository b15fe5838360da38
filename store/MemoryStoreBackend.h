#pragma once
// A store held in memory: the whole contract of StoreBackend without a
// disk, for tests and for trying the store's logic on its own. Locks
// exclude within this process only.

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "store/StoreBackend.h"

class MemoryStoreBackend : public StoreBackend {
public:
    std::string where(const std::string& key) const override { return "memory:/" + key; }
    std::string open() override { return ""; }
    std::string put(const std::string& key, const std::string& data) override;
    bool get(const std::string& key, std::string& data, std::string& error) const override;
    bool exists(const std::string& key) const override;
    std::unique_ptr<ObjectWriter> create(const std::string& key, std::string& error) override;
    std::unique_ptr<ObjectReader> read(const std::string& key, std::string& error) const override;
    void remove(const std::string& key) override;
    std::vector<std::string> list(const std::string& prefix) const override;
    std::string sync(const std::string&) override { return ""; }
    std::unique_ptr<StoreLock> lock(const std::string& key, bool wait, std::string& error) override;
    bool isLocked(const std::string& key) const override;
    std::shared_ptr<LogSink> openLog(const std::string& key, bool alsoToStderr) override;

    // Every key, for tests that look at what a job left.
    std::vector<std::string> keys() const;
    void append(const std::string& key, const std::string& data);

private:
    void unlock(const std::string& key);

    mutable std::mutex mutex_;
    std::map<std::string, std::string> objects_; // guarded by mutex_
    std::set<std::string> locks_;                // guarded by mutex_
    std::condition_variable released_;
};
