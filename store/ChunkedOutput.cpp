#include "store/ChunkedOutput.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "store/BackupStore.h"
#include "platform/FileUtil.h"
#include "store/StoreEnvironment.h"

ChunkedOutput::ChunkedOutput(StoreEnvironment& environment, std::string directory, std::vector<ChunkRecord> previous,
                             uint64_t chunkSize, OnClose onClose)
    : TeskOutput(directory), environment_(environment), directory_(std::move(directory)), chunkSize_(chunkSize == 0 ? 1 : chunkSize),
      onClose_(std::move(onClose)), chunks_(std::move(previous)) {
    for (const auto& chunk : chunks_) lines_ += chunk.lines;
}

ChunkedOutput::~ChunkedOutput() {
    // Not closed: whatever was written is not part of the backup.
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink((BackupStore::chunkPath(directory_, current_.number) + ".tmp").c_str());
    }
}

void ChunkedOutput::removeUnrecorded(const std::string& directory, const std::vector<ChunkRecord>& recorded) {
    std::set<std::string> keep;
    for (const auto& chunk : recorded) keep.insert(std::to_string(chunk.number));
    if (DIR* dir = ::opendir(directory.c_str())) {
        std::vector<std::string> doomed;
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != ".." && !keep.count(name)) doomed.push_back(name);
        }
        ::closedir(dir);
        for (const auto& name : doomed) ::unlink((directory + "/" + name).c_str());
    }
}

bool ChunkedOutput::fail(const std::string& why) {
    failed_ = true;
    environment_.log("ChunkedOutput", why);
    return false;
}

bool ChunkedOutput::stopNow() { return environment_.stopRequested(); }

void ChunkedOutput::noteChangeTime(int64_t seconds) {
    if (times_.empty() || times_.back().time != seconds) {
        if (!times_.empty() && times_.back().line == lines_)
            times_.back().time = seconds; // the previous mark has no line yet
        else
            times_.push_back(TimeMark{lines_, seconds});
    }
}

bool ChunkedOutput::openChunk() {
    current_ = ChunkRecord();
    current_.number = chunks_.empty() ? 1 : chunks_.back().number + 1;
    const std::string path = BackupStore::chunkPath(directory_, current_.number) + ".tmp";
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) return fail("cannot create " + path + ": " + file_util::lastErrorText());
    digest_ = std::make_unique<Sha256Digest>();
    midLine_ = false;
    return true;
}

bool ChunkedOutput::writeToChunk(const char* data, size_t length) {
    size_t written = 0;
    while (written < length) {
        ssize_t count = ::write(fd_, data + written, length - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0)
            return fail("cannot write " + BackupStore::chunkPath(directory_, current_.number) +
                        ".tmp: " + file_util::lastErrorText());
        written += static_cast<size_t>(count);
    }
    digest_->add(data, length);
    const uint64_t lines = static_cast<uint64_t>(std::count(data, data + length, '\n'));
    current_.bytes += length;
    current_.lines += lines;
    lines_ += lines;
    midLine_ = length > 0 && data[length - 1] != '\n';
    environment_.countWritten(lines, length);
    return true;
}

bool ChunkedOutput::sealChunk() {
    const std::string path = BackupStore::chunkPath(directory_, current_.number);
    if (::fsync(fd_) != 0) return fail("cannot sync " + path + ".tmp: " + file_util::lastErrorText());
    ::close(fd_);
    fd_ = -1;
    if (::rename((path + ".tmp").c_str(), path.c_str()) != 0)
        return fail("cannot rename " + path + ".tmp: " + file_util::lastErrorText());
    current_.sha256 = digest_->finishHex();
    digest_.reset();
    chunks_.push_back(current_);
    return true;
}

bool ChunkedOutput::putString(const std::string& data) {
    if (failed_ || closed_) return false;
    size_t position = 0;
    while (position < data.size()) {
        if (fd_ < 0 && !openChunk()) return false;
        const size_t left = data.size() - position;
        const uint64_t room = chunkSize_ > current_.bytes ? chunkSize_ - current_.bytes : 0;
        size_t take = left;
        if (left > room) {
            // Fill the chunk up to its last whole line that fits.
            size_t cut = room > 0 ? data.rfind('\n', position + room - 1) : std::string::npos;
            if (cut != std::string::npos && cut >= position) {
                take = cut - position + 1;
            } else if (current_.bytes == 0 || midLine_) {
                // A line longer than the room: it goes whole into this chunk.
                size_t end = data.find('\n', position);
                take = end == std::string::npos ? left : end - position + 1;
            } else {
                if (!sealChunk()) return false;
                continue;
            }
        }
        if (!writeToChunk(data.data() + position, take)) return false;
        position += take;
        if (current_.bytes >= chunkSize_ && !midLine_ && !sealChunk()) return false;
    }
    return true;
}

bool ChunkedOutput::close(const std::string& restart) {
    if (failed_ || closed_) return false;
    if (fd_ >= 0) {
        if (current_.bytes > 0) {
            if (!sealChunk()) return false;
        } else {
            ::close(fd_);
            fd_ = -1;
            ::unlink((BackupStore::chunkPath(directory_, current_.number) + ".tmp").c_str());
        }
    }
    // The chunks' renames are durable only once the directory is.
    if (!file_util::syncDirectory(directory_))
        return fail("cannot sync directory " + directory_ + ": " + file_util::lastErrorText());
    closed_ = true;
    restart_ = restart;
    // A mark with no line after it (noted, then nothing written) is dropped.
    if (!times_.empty() && times_.back().line >= lines_) times_.pop_back();
    return onClose_(restart, chunks_, times_);
}
