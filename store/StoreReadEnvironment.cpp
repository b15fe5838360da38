#include "store/StoreReadEnvironment.h"

#include <cstdint>
#include <cstring>

#include "framework/MemoryStreams.h"
#include "platform/Crypto.h"
#include "store/BackupVerifier.h"
#include "store/ChunkCodec.h"

// How the inputs of one environment read.
struct ReadSettings {
    std::atomic<uint64_t>* lineCounter = nullptr;
    bool compressed = false; // each chunk is a zstd frame of its lines
    bool proven = false;
    const std::atomic<bool>* stop = nullptr;
};

namespace {

// The lines of a list of chunks, in order, read in blocks split at line
// feeds. Each chunk is checked whole against its manifest record before its
// first line is handed out, so that damaged data never reaches a table, and
// then read again. When every chunk has just been proven so (`proven`),
// each is read once and hashed as it streams, and one that changed since
// fails the input at its end instead.
class ChunkedInput : public TeskInput {
public:
    ChunkedInput(std::shared_ptr<StoreBackend> backend, std::string stream, std::vector<ChunkRecord> chunks,
                 TeskEnvironment& environment, const ReadSettings& settings, uint64_t lineLimit = UINT64_MAX)
        : TeskInput(backend->where(stream)), backend_(std::move(backend)), stream_(std::move(stream)),
          chunks_(std::move(chunks)), environment_(environment), lineCounter_(settings.lineCounter),
          linesLeft_(lineLimit),
          decompressor_(settings.compressed ? std::make_unique<ChunkDecompressor>() : nullptr),
          proven_(settings.proven), stop_(settings.stop) {}

    bool error() override { return failed_; }

    bool getLine(std::string& line) override {
        line.clear();
        // A stop ends every input at a line's end: what was handed out is
        // whole, and the consumer finishes what it holds.
        if (!failed_ && stop_ && stop_->load(std::memory_order_relaxed))
            return fail(std::string(StoreReadEnvironment::kStoppedText) + (path_.empty() ? "" : " (" + path_ + ")"));
        for (;;) {
            if (failed_ || linesLeft_ == 0) return false;
            if (!reader_) {
                if (next_ >= chunks_.size()) return false;
                if (!openChunk()) return false;
            }
            if (start_ == end_ && !fill()) return false;
            if (start_ == end_) {
                if (!line.empty()) return fail(path_ + ": ends in the middle of a line");
                if (!finishChunk()) return false;
                continue;
            }
            const char* begin = data_ + start_;
            const void* feed = std::memchr(begin, '\n', end_ - start_);
            if (!feed) {
                line.append(begin, end_ - start_);
                start_ = end_;
                continue;
            }
            const size_t length = static_cast<const char*>(feed) - begin;
            line.append(begin, length);
            start_ += length + 1;
            --linesLeft_;
            if (lineCounter_) ++*lineCounter_;
            return true;
        }
    }

    bool getContents(std::string& contents) override {
        contents.clear();
        std::string line;
        while (getLine(line)) contents.append(line).append("\n");
        return !failed_;
    }

private:
    bool openChunk() {
        const ChunkRecord& chunk = chunks_[next_];
        const std::string key = BackupStore::chunkPath(stream_, chunk.number);
        path_ = backend_->where(key);
        std::string error;
        buffer_.resize(1 << 16);
        if (!proven_ && !checkWhole(key, chunk)) return false;
        reader_ = backend_->read(key, error);
        if (!reader_) return fail(error);
        streamed_ = proven_ ? std::make_unique<Sha256Digest>() : nullptr;
        start_ = end_ = 0;
        bytes_ = 0;
        if (decompressor_) decompressor_->reset();
        return true;
    }

    // Reads the chunk through once against its record.
    bool checkWhole(const std::string& key, const ChunkRecord& chunk) {
        std::string error;
        auto reader = backend_->read(key, error);
        if (!reader) return fail(error);
        Sha256Digest digest;
        uint64_t bytes = 0;
        for (;;) {
            const long got = reader->read(buffer_.data(), buffer_.size());
            if (got < 0) return fail(reader->error());
            if (got == 0) break;
            digest.add(buffer_.data(), static_cast<size_t>(got));
            bytes += static_cast<uint64_t>(got);
        }
        const std::string computed = digest.finishHex();
        if (bytes != chunk.bytes || computed != chunk.sha256)
            return fail(path_ + ": expected " + std::to_string(chunk.bytes) + " bytes with checksum " + chunk.sha256 +
                        ", read " + std::to_string(bytes) + " with " + computed);
        return true;
    }

    // The next block of the chunk's lines; none at its end.
    bool fill() {
        start_ = end_ = 0;
        for (;;) {
            const long got = reader_->read(buffer_.data(), buffer_.size());
            if (got < 0) return fail(reader_->error());
            bytes_ += static_cast<uint64_t>(got);
            if (streamed_) streamed_->add(buffer_.data(), static_cast<size_t>(got));
            if (!decompressor_) {
                data_ = buffer_.data();
                end_ = static_cast<size_t>(got);
                return true;
            }
            decoded_.clear();
            std::string error;
            if (!decompressor_->decompress(buffer_.data(), static_cast<size_t>(got), decoded_, error))
                return fail(path_ + ": " + error);
            if (got == 0 && !decompressor_->finished()) return fail(path_ + ": its zstd frame is cut short");
            data_ = decoded_.data();
            end_ = decoded_.size();
            // A block may hold no whole output yet; read on until it does or the chunk ends.
            if (end_ > 0 || got == 0) return true;
        }
    }

    bool finishChunk() {
        const ChunkRecord& chunk = chunks_[next_++];
        reader_.reset();
        if (bytes_ != chunk.bytes)
            return fail(path_ + ": changed while it was read (" + std::to_string(bytes_) + " of " +
                        std::to_string(chunk.bytes) + " bytes)");
        if (streamed_) {
            const std::string computed = streamed_->finishHex();
            streamed_.reset();
            if (computed != chunk.sha256)
                return fail(path_ + ": changed since it was checked (checksum " + computed + ", expected " +
                            chunk.sha256 + "); the restore is incomplete, run it again");
        }
        return true;
    }

    bool fail(const std::string& why) {
        failed_ = true;
        environment_.log("ChunkedInput", why);
        environment_.setFailure(why);
        return false;
    }

    const std::shared_ptr<StoreBackend> backend_;
    const std::string stream_;
    const std::vector<ChunkRecord> chunks_;
    TeskEnvironment& environment_;
    size_t next_ = 0;
    std::unique_ptr<ObjectReader> reader_;
    std::vector<char> buffer_;
    size_t start_ = 0, end_ = 0; // the unread bytes of buffer_
    std::string path_;
    uint64_t bytes_ = 0; // stored bytes read of the current chunk
    const char* data_ = nullptr; // the current block of lines
    std::string decoded_;
    bool failed_ = false;
    std::atomic<uint64_t>* lineCounter_;
    uint64_t linesLeft_;
    std::unique_ptr<ChunkDecompressor> decompressor_;
    const bool proven_;
    const std::atomic<bool>* const stop_;
    std::unique_ptr<Sha256Digest> streamed_; // of the current chunk, when proven_
};

// How many of a shard's lines hold changes made at or before `until`: its
// lines up to the first mark past it.
uint64_t linesUntil(const ShardRecord& shard, int64_t until) {
    for (const auto& mark : shard.times)
        if (mark.time > until) return mark.line;
    return UINT64_MAX;
}

} // namespace

StoreReadEnvironment::StoreReadEnvironment(BackupStore::Job job, std::shared_ptr<LogSink> sink, Clock* clock)
    : TeskEnvironment(job.manifest.directoryName(), std::move(sink), clock), job_(job.resolved()) {}

std::shared_ptr<TeskInput> StoreReadEnvironment::openFile(const std::string& name) {
    std::string text, error;
    if (!job_.readFile(name, text, error)) {
        log("openFile", error);
        return nullptr;
    }
    std::string warning;
    const std::string problem = checkControlFile(job_, name, text, warning);
    if (!warning.empty()) log("openFile", "warning: " + warning);
    if (!problem.empty()) {
        // A description or shard tree that disagrees with the data would
        // make the restore leave data out while reporting success.
        log("openFile", problem);
        setFailure(problem);
        return nullptr;
    }
    return std::make_shared<MemoryInput>(name, std::move(text));
}

std::shared_ptr<TeskInput> StoreReadEnvironment::openDescriptionInput() { return openFile("description.json"); }

std::shared_ptr<TeskInput> StoreReadEnvironment::openMetadataInput() { return openFile("metadata.json"); }

std::shared_ptr<TeskInput> StoreReadEnvironment::openSegmentInput(const std::string&, int segment) {
    auto found = job_.manifest.segments.find(segment);
    std::vector<ChunkRecord> chunks = found == job_.manifest.segments.end() ? std::vector<ChunkRecord>()
                                                                             : found->second.chunks;
    return std::make_shared<ChunkedInput>(job_.backend, keyJoin(job_.key, std::to_string(segment + 1)), std::move(chunks),
                                          *this, settings());
}

std::shared_ptr<TeskInput> StoreReadEnvironment::openShardInput(const std::string& shardId, int64_t) {
    if (!BackupStore::checkComponent(shardId, "shard id").empty()) return nullptr;
    auto found = job_.manifest.shards.find(shardId);
    // A shard listed in the tree but never recorded (it had failed) has no
    // data here: an empty input, as the restore expects for such a shard.
    if (found == job_.manifest.shards.end())
        return std::make_shared<ChunkedInput>(job_.backend, keyJoin(job_.key, shardId), std::vector<ChunkRecord>(), *this,
                                              settings());
    return std::make_shared<ChunkedInput>(job_.backend, keyJoin(job_.key, shardId), found->second.chunks, *this, settings(),
                                          until_ > 0 ? linesUntil(found->second, until_) : UINT64_MAX);
}

ReadSettings StoreReadEnvironment::settings() const {
    ReadSettings settings;
    settings.lineCounter = lineCounter_;
    settings.compressed = compressed();
    settings.proven = proven_;
    settings.stop = stop_;
    return settings;
}
