#include "store/StoreReadEnvironment.h"

#include <cstdint>
#include <fstream>

#include "store/BackupVerifier.h"
#include "platform/Crypto.h"
#include "platform/FileUtil.h"
#include "framework/MemoryStreams.h"

namespace {

// The lines of a list of chunk files, in order. Each chunk is checked whole
// against its manifest record before its first line is handed out, so that
// damaged data never reaches a table.
class ChunkedInput : public TeskInput {
public:
    ChunkedInput(std::string directory, std::vector<ChunkRecord> chunks, TeskEnvironment& environment,
                 std::atomic<uint64_t>* lineCounter, uint64_t lineLimit = UINT64_MAX)
        : TeskInput(directory), directory_(std::move(directory)), chunks_(std::move(chunks)),
          environment_(environment), lineCounter_(lineCounter), linesLeft_(lineLimit) {}

    bool error() override { return failed_; }

    bool getLine(std::string& line) override {
        for (;;) {
            if (failed_ || linesLeft_ == 0) return false;
            if (!file_.is_open()) {
                if (next_ >= chunks_.size()) return false;
                if (!openChunk()) return false;
            }
            if (std::getline(file_, line)) {
                --linesLeft_;
                bytes_ += line.size() + 1;
                if (lineCounter_) ++*lineCounter_;
                return true;
            }
            if (!finishChunk()) return false;
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
        path_ = BackupStore::chunkPath(directory_, chunk.number);
        file_.open(path_, std::ios::binary);
        if (!file_) return fail(path_ + ": cannot be read: " + file_util::lastErrorText());
        Sha256Digest digest;
        uint64_t bytes = 0;
        char buffer[1 << 16];
        while (file_.read(buffer, sizeof buffer) || file_.gcount() > 0) {
            digest.add(buffer, static_cast<size_t>(file_.gcount()));
            bytes += static_cast<uint64_t>(file_.gcount());
        }
        const std::string computed = digest.finishHex();
        if (bytes != chunk.bytes || computed != chunk.sha256)
            return fail(path_ + ": expected " + std::to_string(chunk.bytes) + " bytes with checksum " + chunk.sha256 +
                        ", read " + std::to_string(bytes) + " with " + computed);
        file_.clear();
        file_.seekg(0);
        bytes_ = 0;
        return true;
    }

    bool finishChunk() {
        const ChunkRecord& chunk = chunks_[next_++];
        file_.close();
        // Every stored line ends in a line feed; a last line without one
        // counts a byte the chunk does not hold.
        if (bytes_ != chunk.bytes)
            return fail(path_ + ": changed while it was read (" + std::to_string(bytes_) + " of " +
                        std::to_string(chunk.bytes) + " bytes)");
        return true;
    }

    bool fail(const std::string& why) {
        failed_ = true;
        environment_.log("ChunkedInput", why);
        environment_.setFailure(why);
        return false;
    }

    const std::string directory_;
    const std::vector<ChunkRecord> chunks_;
    TeskEnvironment& environment_;
    size_t next_ = 0;
    std::ifstream file_;
    std::string path_;
    uint64_t bytes_ = 0;
    bool failed_ = false;
    std::atomic<uint64_t>* lineCounter_;
    uint64_t linesLeft_;
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
    : TeskEnvironment(job.manifest.directoryName(), std::move(sink), clock), job_(std::move(job)) {}

std::shared_ptr<TeskInput> StoreReadEnvironment::openFile(const std::string& name) {
    std::string text;
    if (!file_util::readFile(job_.directory + "/" + name, text)) return nullptr;
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
    return std::make_shared<ChunkedInput>(job_.directory + "/" + std::to_string(segment + 1), std::move(chunks), *this,
                                          lineCounter_);
}

std::shared_ptr<TeskInput> StoreReadEnvironment::openShardInput(const std::string& shardId, int64_t) {
    if (!BackupStore::checkComponent(shardId, "shard id").empty()) return nullptr;
    auto found = job_.manifest.shards.find(shardId);
    // A shard listed in the tree but never recorded (it had failed) has no
    // data here: an empty input, as the restore expects for such a shard.
    if (found == job_.manifest.shards.end())
        return std::make_shared<ChunkedInput>(job_.directory + "/" + shardId, std::vector<ChunkRecord>(), *this,
                                              lineCounter_);
    return std::make_shared<ChunkedInput>(job_.directory + "/" + shardId, found->second.chunks, *this, lineCounter_,
                                          until_ > 0 ? linesUntil(found->second, until_) : UINT64_MAX);
}
