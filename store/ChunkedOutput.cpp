#include "store/ChunkedOutput.h"

#include <cstring>
#include <set>

#include "store/BackupStore.h"

ChunkedOutput::ChunkedOutput(TeskEnvironment& environment, StoreBackend& backend, std::string stream,
                             std::vector<ChunkRecord> previous, uint64_t chunkSize, WriteProgress& progress,
                             OnClose onClose, OnProgress onProgress, int compressionLevel)
    : TeskOutput(backend.where(stream)), environment_(environment), backend_(backend), stream_(std::move(stream)),
      progress_(progress), chunkSize_(chunkSize == 0 ? 1 : chunkSize), onClose_(std::move(onClose)),
      onProgress_(std::move(onProgress)), chunks_(std::move(previous)), recorded_(chunks_.size()),
      compressor_(compressionLevel > 0 ? std::make_unique<ChunkCompressor>(compressionLevel) : nullptr) {
    for (const auto& chunk : chunks_) lines_ += chunk.lines;
}

// Not closed: whatever was written is not part of the backup, and the
// writer discards its chunk.
ChunkedOutput::~ChunkedOutput() = default;

void ChunkedOutput::removeUnrecorded(StoreBackend& backend, const std::string& stream,
                                     const std::vector<ChunkRecord>& recorded) {
    std::set<std::string> keep;
    for (const auto& chunk : recorded) keep.insert(std::to_string(chunk.number));
    for (const auto& name : backend.list(stream))
        if (!keep.count(name)) backend.remove(stream + "/" + name);
}

bool ChunkedOutput::fail(const std::string& why) {
    failed_ = true;
    failure_ = why;
    environment_.log("ChunkedOutput", why);
    return false;
}

bool ChunkedOutput::stopNow() { return progress_.stopRequested(); }

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
    std::string error;
    writer_ = backend_.create(BackupStore::chunkPath(stream_, current_.number), error);
    if (!writer_) return fail(error);
    digest_ = std::make_unique<Sha256Digest>();
    midLine_ = false;
    filled_ = 0;
    return true;
}

// Stored bytes go to the chunk and into its hash.
bool ChunkedOutput::store(const char* data, size_t length) {
    std::string error;
    if (!writer_->write(data, length, error)) return fail(error);
    digest_->add(data, length);
    current_.bytes += length;
    progress_.bytes += length;
    return true;
}

bool ChunkedOutput::writeToChunk(const char* data, size_t length) {
    if (compressor_) {
        std::string error;
        compressed_.clear();
        if (!compressor_->compress(data, length, false, compressed_, error)) return fail(error);
        if (!store(compressed_.data(), compressed_.size())) return false;
    } else if (!store(data, length)) {
        return false;
    }
    uint64_t lines = 0;
    for (const char* at = data; (at = static_cast<const char*>(std::memchr(at, '\n', data + length - at))); ++at)
        ++lines;
    filled_ += length;
    current_.lines += lines;
    lines_ += lines;
    midLine_ = length > 0 && data[length - 1] != '\n';
    progress_.lines += lines;
    return true;
}

bool ChunkedOutput::sealChunk() {
    std::string error;
    if (compressor_) {
        compressed_.clear();
        if (!compressor_->compress(nullptr, 0, true, compressed_, error)) return fail(error);
        if (!store(compressed_.data(), compressed_.size())) return false;
    }
    const bool committed = writer_->commit(error);
    writer_.reset();
    if (!committed) return fail(error);
    current_.sha256 = digest_->finishHex();
    digest_.reset();
    chunks_.push_back(current_);
    return true;
}

bool ChunkedOutput::putData(const char* data, size_t length) {
    if (failed_ || closed_) return false;
    size_t position = 0;
    while (position < length) {
        if (!writer_ && !openChunk()) return false;
        const size_t left = length - position;
        const uint64_t room = chunkSize_ > filled_ ? chunkSize_ - filled_ : 0;
        size_t take = left;
        if (left > room) {
            // Fill the chunk up to its last whole line that fits.
            const void* cut = room > 0 ? ::memrchr(data + position, '\n', room) : nullptr;
            if (cut) {
                take = static_cast<size_t>(static_cast<const char*>(cut) - (data + position)) + 1;
            } else if (filled_ == 0 || midLine_) {
                // A line longer than the room: it goes whole into this chunk.
                const void* end = std::memchr(data + position, '\n', left);
                take = end ? static_cast<size_t>(static_cast<const char*>(end) - (data + position)) + 1 : left;
            } else {
                if (!sealChunk()) return false;
                continue;
            }
        }
        if (!writeToChunk(data + position, take)) return false;
        position += take;
        if (filled_ >= chunkSize_ && !midLine_ && !sealChunk()) return false;
    }
    return true;
}

// A restart text is given at the end of a page: everything written so far
// belongs before it. Once a chunk has rolled over since the last record,
// the rest is sealed too and all of it recorded with this text, which costs
// one small chunk and one manifest write per chunk of data.
void ChunkedOutput::updateRestart(const std::string& restart) {
    restart_ = restart;
    // An empty text is the end of the stream (or its start): only close records it.
    if (!onProgress_ || failed_ || closed_ || restart.empty() || chunks_.size() == recorded_ || midLine_) return;
    if (writer_ && filled_ > 0 && !sealChunk()) return;
    writer_.reset();
    const std::string error = backend_.sync(stream_);
    if (!error.empty()) {
        fail(error);
        return;
    }
    if (onProgress_(restart, chunks_)) recorded_ = chunks_.size();
}

bool ChunkedOutput::close(const std::string& restart) {
    if (failed_ || closed_) return false;
    if (writer_) {
        if (filled_ > 0) {
            if (!sealChunk()) return false;
        } else {
            writer_.reset(); // an empty chunk is never committed
        }
    }
    const std::string error = backend_.sync(stream_);
    if (!error.empty()) return fail(error);
    closed_ = true;
    restart_ = restart;
    // A mark with no line after it (noted, then nothing written) is dropped.
    if (!times_.empty() && times_.back().line >= lines_) times_.pop_back();
    return onClose_(restart, chunks_, times_);
}
