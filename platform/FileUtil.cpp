#include "platform/FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace file_util {

std::string lastErrorText() { return std::strerror(errno); }

bool syncDirectory(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

std::string makeDirectories(const std::string& path) {
    if (path.empty()) return "empty directory path";
    std::string partial;
    size_t position = 0;
    while (position != std::string::npos) {
        position = path.find('/', position + 1);
        partial = path.substr(0, position);
        if (partial.empty()) continue;
        if (::mkdir(partial.c_str(), 0755) == 0) {
            // A new directory survives a crash only once its parent is synced.
            const size_t slash = partial.rfind('/');
            const std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : partial.substr(0, slash));
            if (!syncDirectory(parent)) return "cannot sync directory " + parent + ": " + lastErrorText();
        } else if (errno != EEXIST) {
            return "cannot create directory " + partial + ": " + lastErrorText();
        }
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return path + " is not a directory";
    return "";
}

std::string writeAtomically(const std::string& path, const std::string& data) {
    const std::string temporary = path + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return "cannot create " + temporary + ": " + lastErrorText();
    size_t written = 0;
    while (written < data.size()) {
        ssize_t count = ::write(fd, data.data() + written, data.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            std::string why = "cannot write " + temporary + ": " + lastErrorText();
            ::close(fd);
            ::unlink(temporary.c_str());
            return why;
        }
        written += static_cast<size_t>(count);
    }
    if (::fsync(fd) != 0) {
        std::string why = "cannot sync " + temporary + ": " + lastErrorText();
        ::close(fd);
        ::unlink(temporary.c_str());
        return why;
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        std::string why = "cannot rename " + temporary + ": " + lastErrorText();
        ::unlink(temporary.c_str());
        return why;
    }
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    // The rename is durable only once the directory is.
    if (!syncDirectory(directory)) return "cannot sync directory " + directory + ": " + lastErrorText();
    return "";
}

bool readFile(const std::string& path, std::string& data) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream buffer;
    buffer << file.rdbuf();
    data = buffer.str();
    return !file.bad();
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

} // namespace file_util
