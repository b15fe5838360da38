#pragma once
// The store in a local directory: a key is a path below the root. Objects
// are written under "<name>.tmp", fsynced and renamed into place; sync
// fsyncs the directory, so that the renames survive a crash. Locks are
// flock(2) locks on the key's file, held by this process.

#include <string>

#include "store/StoreBackend.h"

class LocalStoreBackend : public StoreBackend {
public:
    explicit LocalStoreBackend(std::string root);
    const std::string& root() const { return root_; }

    std::string where(const std::string& key) const override;
    std::string open() override;
    std::string put(const std::string& key, const std::string& data) override;
    bool get(const std::string& key, std::string& data, std::string& error) const override;
    bool exists(const std::string& key) const override;
    std::unique_ptr<ObjectWriter> create(const std::string& key, std::string& error) override;
    std::unique_ptr<ObjectReader> read(const std::string& key, std::string& error) const override;
    void remove(const std::string& key) override;
    std::vector<std::string> list(const std::string& prefix) const override;
    std::string sync(const std::string& prefix) override;
    std::unique_ptr<StoreLock> lock(const std::string& key, bool wait, std::string& error) override;
    bool isLocked(const std::string& key) const override;
    std::shared_ptr<LogSink> openLog(const std::string& key, bool alsoToStderr) override;

private:
    std::string root_;
};
