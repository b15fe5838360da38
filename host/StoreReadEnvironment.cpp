#include "StoreReadEnvironment.h"

#include <fstream>

#include "Crypto.h"
#include "FileUtil.h"
#include "MemoryStreams.h"

namespace {

// The lines of a list of chunk files, in order, each chunk checked whole.
class ChunkedInput : public TeskInput {
public:
    ChunkedInput(std::string directory, std::vector<ChunkRecord> chunks, TeskEnvironment& environment,
                 std::atomic<uint64_t>* lineCounter)
        : TeskInput(directory), directory_(std::move(directory)), chunks_(std::move(chunks)),
          environment_(environment), lineCounter_(lineCounter) {}

    bool error() override { return failed_; }

    bool getLine(std::string& line) override {
        for (;;) {
            if (failed_) return false;
            if (!file_.is_open()) {
                if (next_ >= chunks_.size()) return false;
                if (!openChunk()) return false;
            }
            if (std::getline(file_, line)) {
                // Every stored line ends in a line feed; a last line without
                // one adds a byte the digest will not match.
                digest_->add(line.data(), line.size());
                digest_->add("\n", 1);
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
        digest_ = std::make_unique<Sha256Digest>();
        bytes_ = 0;
        return true;
    }

    bool finishChunk() {
        const ChunkRecord& chunk = chunks_[next_++];
        file_.close();
        const std::string computed = digest_->finishHex();
        if (bytes_ != chunk.bytes || computed != chunk.sha256)
            return fail(path_ + ": expected " + std::to_string(chunk.bytes) + " bytes with checksum " + chunk.sha256 +
                        ", read " + std::to_string(bytes_) + " with " + computed);
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
    std::unique_ptr<Sha256Digest> digest_;
    uint64_t bytes_ = 0;
    bool failed_ = false;
    std::atomic<uint64_t>* lineCounter_;
};

} // namespace

StoreReadEnvironment::StoreReadEnvironment(BackupStore::Job job, std::shared_ptr<LogSink> sink, Clock* clock)
    : TeskEnvironment(job.manifest.directoryName(), std::move(sink), clock), job_(std::move(job)) {}

std::shared_ptr<TeskInput> StoreReadEnvironment::openFile(const std::string& name) {
    std::string text;
    if (!file_util::readFile(job_.directory + "/" + name, text)) return nullptr;
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
    std::vector<ChunkRecord> chunks = found == job_.manifest.shards.end() ? std::vector<ChunkRecord>()
                                                                           : found->second.chunks;
    return std::make_shared<ChunkedInput>(job_.directory + "/" + shardId, std::move(chunks), *this, lineCounter_);
}
