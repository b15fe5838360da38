#include "store/LocalStoreBackend.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/FileUtil.h"

namespace {

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

class FileWriter : public ObjectWriter {
public:
    FileWriter(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~FileWriter() override {
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink((path_ + ".tmp").c_str());
        }
    }
    bool write(const char* data, size_t length, std::string& error) override {
        size_t written = 0;
        while (written < length) {
            ssize_t count = ::write(fd_, data + written, length - written);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) {
                error = "cannot write " + path_ + ".tmp: " + file_util::lastErrorText();
                return false;
            }
            written += static_cast<size_t>(count);
        }
        return true;
    }
    bool commit(std::string& error) override {
        if (::fsync(fd_) != 0) {
            error = "cannot sync " + path_ + ".tmp: " + file_util::lastErrorText();
            return false;
        }
        // The bytes are on disk now and a backup is seldom read back soon:
        // its pages leave the cache instead of pushing out what the machine
        // is using, and the next chunk is written into pages just freed
        // rather than into ever more memory (at 400k items that halved the
        // export's system time). Advice only; nothing depends on it.
        (void)::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd_);
        fd_ = -1;
        if (::rename((path_ + ".tmp").c_str(), path_.c_str()) != 0) {
            error = "cannot rename " + path_ + ".tmp: " + file_util::lastErrorText();
            ::unlink((path_ + ".tmp").c_str());
            return false;
        }
        return true;
    }

private:
    int fd_;
    const std::string path_;
};

class FileReader : public ObjectReader {
public:
    FileReader(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~FileReader() override { ::close(fd_); }
    long read(char* buffer, size_t capacity) override {
        for (;;) {
            ssize_t count = ::read(fd_, buffer, capacity);
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) error_ = path_ + ": cannot be read: " + file_util::lastErrorText();
            return static_cast<long>(count);
        }
    }
    std::string error() const override { return error_; }

private:
    int fd_;
    const std::string path_;
    std::string error_;
};

class FileLock : public StoreLock {
public:
    explicit FileLock(int fd) : fd_(fd) {}
    ~FileLock() override { ::close(fd_); } // closing releases the flock

private:
    int fd_;
};

} // namespace

LocalStoreBackend::LocalStoreBackend(std::string root) : root_(std::move(root)) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string LocalStoreBackend::where(const std::string& key) const { return key.empty() ? root_ : root_ + "/" + key; }

std::string LocalStoreBackend::open() { return file_util::makeDirectories(root_); }

std::string LocalStoreBackend::put(const std::string& key, const std::string& data) {
    const std::string path = where(key);
    std::string error = file_util::makeDirectories(parentOf(path));
    return error.empty() ? file_util::writeAtomically(path, data) : error;
}

bool LocalStoreBackend::get(const std::string& key, std::string& data, std::string& error) const {
    const std::string path = where(key);
    if (file_util::readFile(path, data)) return true;
    error = file_util::exists(path) ? path + ": cannot be read: " + file_util::lastErrorText() : path + ": missing";
    return false;
}

bool LocalStoreBackend::exists(const std::string& key) const { return file_util::exists(where(key)); }

std::unique_ptr<ObjectWriter> LocalStoreBackend::create(const std::string& key, std::string& error) {
    const std::string path = where(key);
    error = file_util::makeDirectories(parentOf(path));
    if (!error.empty()) return nullptr;
    int fd = ::open((path + ".tmp").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + path + ".tmp: " + file_util::lastErrorText();
        return nullptr;
    }
    return std::make_unique<FileWriter>(fd, path);
}

std::unique_ptr<ObjectReader> LocalStoreBackend::read(const std::string& key, std::string& error) const {
    const std::string path = where(key);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno == ENOENT ? path + ": missing" : path + ": cannot be read: " + file_util::lastErrorText();
        return nullptr;
    }
    return std::make_unique<FileReader>(fd, path);
}

void LocalStoreBackend::remove(const std::string& key) {
    const std::string path = where(key);
    if (::unlink(path.c_str()) != 0 && (errno == EISDIR || errno == EPERM)) ::rmdir(path.c_str());
}

std::vector<std::string> LocalStoreBackend::list(const std::string& prefix) const {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(where(prefix).c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string LocalStoreBackend::sync(const std::string& prefix) {
    const std::string directory = where(prefix);
    // Nothing was ever written below a prefix that has no directory.
    if (file_util::syncDirectory(directory) || !file_util::exists(directory)) return "";
    return "cannot sync directory " + directory + ": " + file_util::lastErrorText();
}

std::unique_ptr<StoreLock> LocalStoreBackend::lock(const std::string& key, bool wait, std::string& error) {
    const std::string path = where(key);
    error = file_util::makeDirectories(parentOf(path));
    if (!error.empty()) return nullptr;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
        error = errno == EWOULDBLOCK ? path + " is held by another process"
                                     : "cannot lock " + path + ": " + file_util::lastErrorText();
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    return std::make_unique<FileLock>(fd);
}

bool LocalStoreBackend::isLocked(const std::string& key) const {
    int fd = ::open(where(key).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

std::shared_ptr<LogSink> LocalStoreBackend::openLog(const std::string& key, bool alsoToStderr) {
    const std::string path = where(key);
    file_util::makeDirectories(parentOf(path));
    return std::make_shared<StreamLogSink>(alsoToStderr, path);
}
