#include "store/StoreBackend.h"

#include <mutex>

#include "platform/Crypto.h"

namespace {

std::string contentVersion(const std::string& data) {
    Sha256Digest digest;
    digest.add(data.data(), data.size());
    return "sha256:" + digest.finishHex();
}

std::mutex& conditionalWrites() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

bool StoreBackend::getVersioned(const std::string& key, std::string& data, std::string& version,
                                std::string& error) const {
    if (!get(key, data, error)) return false;
    version = contentVersion(data);
    return true;
}

std::string StoreBackend::putIfVersion(const std::string& key, const std::string& data, std::string& version) {
    std::lock_guard<std::mutex> guard(conditionalWrites());
    std::string current, error;
    const bool there = exists(key);
    if (there && !get(key, current, error)) return error;
    const std::string now = there ? contentVersion(current) : "";
    const std::string wanted = contentVersion(data);
    if (now == wanted) {
        version = wanted;
        return "";
    }
    if (now != version)
        return std::string(kChangedByAnotherWriter) + ": " + where(key) +
               (there ? " no longer holds the bytes this process last wrote" : " was removed");
    error = put(key, data);
    if (error.empty()) version = wanted;
    return error;
}
