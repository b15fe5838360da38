#include "store/StoreEnvironment.h"

#include <functional>

#include "store/ChunkedOutput.h"
#include "platform/Crypto.h"
#include "platform/FileUtil.h"

namespace {

// Collects a small file (description, metadata) and commits it whole at
// close, then records its size and checksum in the manifest.
class WholeFileOutput : public TeskOutput {
public:
    using Record = std::function<bool(const std::string& text)>;
    WholeFileOutput(std::string path, Record record)
        : TeskOutput(path), path_(std::move(path)), record_(std::move(record)) {}
    bool putString(const std::string& data) override {
        text_ += data;
        return true;
    }
    void updateRestart(const std::string&) override {}
    bool flush() override { return true; }
    bool close(const std::string&) override { return file_util::writeAtomically(path_, text_).empty() && record_(text_); }

private:
    std::string path_;
    Record record_;
    std::string text_;
};

} // namespace

StoreEnvironment::StoreEnvironment(BackupStore& store, BackupManifest manifest, std::shared_ptr<LogSink> sink,
                                   Clock* clock, uint64_t chunkSize, const std::atomic<bool>* stopFlag)
    : TeskEnvironment(manifest.directoryName(), std::move(sink), clock), store_(store),
      jobDirectory_(store.jobDirectory(manifest)), chunkSize_(chunkSize),
      stopFlag_(stopFlag), manifest_(std::move(manifest)) {}

std::shared_ptr<TeskOutput> StoreEnvironment::openSegmentOutput(const std::string& table, int segment) {
    std::vector<ChunkRecord> previous;
    std::string directory;
    {
        std::lock_guard<std::mutex> guard(manifestMutex_);
        if (table != manifest_.table || segment < 0 || static_cast<unsigned>(segment) >= manifest_.segmentCount) {
            log("openSegmentOutput", "segment " + std::to_string(segment) + " of " + table + " is not part of job " +
                                         std::to_string(manifest_.jobId));
            return nullptr;
        }
        auto recorded = manifest_.segments.find(segment);
        if (recorded != manifest_.segments.end()) previous = recorded->second.chunks;
        directory = store_.segmentDirectory(manifest_.region, manifest_.table, manifest_.jobId, segment);
    }
    std::string error = file_util::makeDirectories(directory);
    if (!error.empty()) {
        log("openSegmentOutput", error);
        return nullptr;
    }
    ChunkedOutput::removeUnrecorded(directory, previous);
    return std::make_shared<ChunkedOutput>(
        *this, directory, std::move(previous), chunkSize_,
        [this, segment](const std::string& restart, const std::vector<ChunkRecord>& chunks, const std::vector<TimeMark>&) {
            return recordSegment(segment, restart, chunks);
        });
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
    const std::string directory = jobDirectory_ + "/" + shardId;
    std::string error = file_util::makeDirectories(directory);
    if (!error.empty()) {
        log("openShardOutput", error);
        return nullptr;
    }
    ChunkedOutput::removeUnrecorded(directory, {});
    return std::make_shared<ChunkedOutput>(
        *this, directory, std::vector<ChunkRecord>(), chunkSize_,
        [this, shardId](const std::string& state, const std::vector<ChunkRecord>& chunks,
                        const std::vector<TimeMark>& times) { return recordShard(shardId, state, chunks, times);
        });
}

std::shared_ptr<TeskOutput> StoreEnvironment::openDescriptionOutput() {
    if (!file_util::makeDirectories(jobDirectory_).empty()) return nullptr;
    return std::make_shared<WholeFileOutput>(jobDirectory_ + "/description.json",
                                             [this](const std::string& text) { return recordFile("description.json", text); });
}

std::shared_ptr<TeskOutput> StoreEnvironment::openMetadataOutput() {
    if (!file_util::makeDirectories(jobDirectory_).empty()) return nullptr;
    return std::make_shared<WholeFileOutput>(jobDirectory_ + "/metadata.json",
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
