#include "store/StoreEnvironment.h"

#include <functional>

#include "platform/Crypto.h"

namespace {

// Collects a small file (description, metadata) and commits it whole at
// close, then records its size and checksum in the manifest.
class WholeFileOutput : public TeskOutput {
public:
    using Record = std::function<bool(const std::string& text)>;
    WholeFileOutput(StoreBackend& backend, std::string key, Record record)
        : TeskOutput(backend.where(key)), backend_(backend), key_(std::move(key)), record_(std::move(record)) {}
    bool putString(const std::string& data) override {
        text_ += data;
        return true;
    }
    void updateRestart(const std::string&) override {}
    bool flush() override { return true; }
    bool close(const std::string&) override { return backend_.put(key_, text_).empty() && record_(text_); }

private:
    StoreBackend& backend_;
    const std::string key_;
    Record record_;
    std::string text_;
};

} // namespace

StoreEnvironment::StoreEnvironment(BackupStore& store, BackupManifest manifest, std::shared_ptr<LogSink> sink,
                                   Clock* clock, uint64_t chunkSize, const std::atomic<bool>* stopFlag,
                                   int compressionLevel)
    : TeskEnvironment(manifest.directoryName(), std::move(sink), clock), store_(store),
      jobKey_(BackupStore::jobKey(manifest)), jobDirectory_(store.jobDirectory(manifest)), chunkSize_(chunkSize),
      compressionLevel_(manifest.codec.empty() ? 0 : (compressionLevel > 0 ? compressionLevel : 3)),
      manifest_(std::move(manifest)) {
    progress_.stopFlag = stopFlag;
}

std::shared_ptr<TeskOutput> StoreEnvironment::openSegmentOutput(const std::string& table, int segment) {
    std::vector<ChunkRecord> previous;
    {
        std::lock_guard<std::mutex> guard(manifestMutex_);
        if (table != manifest_.table || segment < 0 || static_cast<unsigned>(segment) >= manifest_.segmentCount) {
            log("openSegmentOutput", "segment " + std::to_string(segment) + " of " + table + " is not part of job " +
                                         std::to_string(manifest_.jobId));
            return nullptr;
        }
        auto recorded = manifest_.segments.find(segment);
        if (recorded != manifest_.segments.end()) previous = recorded->second.chunks;
    }
    const std::string stream = jobKey_ + "/" + std::to_string(segment + 1);
    ChunkedOutput::removeUnrecorded(store_.backend(), stream, previous);
    return std::make_shared<ChunkedOutput>(
        *this, store_.backend(), stream, std::move(previous), chunkSize_, progress_,
        [this, segment](const std::string& restart, const std::vector<ChunkRecord>& chunks, const std::vector<TimeMark>&) {
            return recordSegment(segment, restart, chunks);
        },
        [this, segment](const std::string& restart, const std::vector<ChunkRecord>& chunks) {
            return recordSegmentProgress(segment, restart, chunks);
        },
        compressionLevel_);
}

std::shared_ptr<TeskOutput> StoreEnvironment::openShardOutput(const std::string& table, const std::string& shardId,
                                                              int64_t) {
    std::string problem = BackupStore::checkComponent(shardId, "shard id");
    // A shard directory must not take the place of the job's own files.
    if (problem.empty() && (shardId[0] == '.' || shardId == "metadata.json" || shardId == "description.json" ||
                            shardId == BackupManifest::kFileName || shardId == "backup.log"))
        problem = "shard id '" + shardId + "' is the name of a file of the job";
    if (!problem.empty() || table != manifest().table) {
        log("openShardOutput", problem.empty() ? "shard " + shardId + " of " + table + " is not part of this job" : problem);
        return nullptr;
    }
    const std::string stream = jobKey_ + "/" + shardId;
    ChunkedOutput::removeUnrecorded(store_.backend(), stream, {});
    return std::make_shared<ChunkedOutput>(
        *this, store_.backend(), stream, std::vector<ChunkRecord>(), chunkSize_, progress_,
        [this, shardId](const std::string& state, const std::vector<ChunkRecord>& chunks,
                        const std::vector<TimeMark>& times) { return recordShard(shardId, state, chunks, times);
        },
        nullptr, compressionLevel_);
}

std::shared_ptr<TeskOutput> StoreEnvironment::openDescriptionOutput() {
    return std::make_shared<WholeFileOutput>(store_.backend(), jobKey_ + "/description.json",
                                             [this](const std::string& text) { return recordFile("description.json", text); });
}

std::shared_ptr<TeskOutput> StoreEnvironment::openMetadataOutput() {
    return std::make_shared<WholeFileOutput>(store_.backend(), jobKey_ + "/metadata.json",
                                             [this](const std::string& text) { return recordFile("metadata.json", text); });
}

bool StoreEnvironment::saveLocked(const char* function, const std::string& what) {
    std::string error;
    if (store_.saveManifest(manifest_, error)) return true;
    log(function, "cannot record " + what + ": " + error);
    return false;
}

bool StoreEnvironment::recordSegment(int index, const std::string& restart, const std::vector<ChunkRecord>& chunks) {
    std::lock_guard<std::mutex> guard(manifestMutex_);
    SegmentRecord& segment = manifest_.segments[index];
    segment.index = index;
    segment.closed = true;
    segment.restart = restart;
    segment.chunks = chunks;
    if (!saveLocked("recordSegment", "segment " + std::to_string(index))) return false;
    if (restart.empty()) ++segmentsDone_;
    return true;
}

bool StoreEnvironment::recordSegmentProgress(int index, const std::string& restart,
                                             const std::vector<ChunkRecord>& chunks) {
    std::lock_guard<std::mutex> guard(manifestMutex_);
    SegmentRecord& segment = manifest_.segments[index];
    if (segment.closed) return false; // a closed segment's record is final
    segment.index = index;
    segment.restart = restart;
    segment.chunks = chunks;
    return saveLocked("recordSegmentProgress", "the progress of segment " + std::to_string(index));
}

bool StoreEnvironment::recordShard(const std::string& shardId, const std::string& state,
                                   const std::vector<ChunkRecord>& chunks, const std::vector<TimeMark>& times) {
    std::lock_guard<std::mutex> guard(manifestMutex_);
    ShardRecord& shard = manifest_.shards[shardId];
    shard.id = shardId;
    shard.closed = true;
    shard.state = state;
    shard.chunks = chunks;
    shard.times = times;
    shard.timesRecorded = true;
    if (!saveLocked("recordShard", "shard " + shardId)) return false;
    ++segmentsDone_;
    return true;
}

bool StoreEnvironment::recordFile(const std::string& name, const std::string& text) {
    Sha256Digest digest;
    digest.add(text.data(), text.size());
    std::lock_guard<std::mutex> guard(manifestMutex_);
    manifest_.files[name] = FileRecord{name, text.size(), digest.finishHex()};
    return saveLocked("recordFile", name);
}

void StoreEnvironment::setAfterFull(int64_t jobId) {
    std::lock_guard<std::mutex> guard(manifestMutex_);
    manifest_.afterFull = jobId;
}

void StoreEnvironment::setPreviousJob(int64_t jobId) {
    std::lock_guard<std::mutex> guard(manifestMutex_);
    manifest_.previousJob = jobId;
}

bool StoreEnvironment::finish(const std::string& status, const std::string& failure) {
    std::lock_guard<std::mutex> guard(manifestMutex_);
    manifest_.status = status;
    manifest_.failure = failure;
    manifest_.endTime = clock().now();
    return saveLocked("finish", "the job's outcome");
}

BackupManifest StoreEnvironment::manifest() const {
    std::lock_guard<std::mutex> guard(manifestMutex_);
    return manifest_;
}
