#include "StoreEnvironment.h"

#include "ChunkedSegmentOutput.h"
#include "FileUtil.h"

namespace {

// Collects the description and commits it as one file when closed.
class DescriptionOutput : public TeskOutput {
public:
    explicit DescriptionOutput(std::string path) : TeskOutput(path), path_(std::move(path)) {}
    bool putString(const std::string& data) override {
        text_ += data;
        return true;
    }
    void updateRestart(const std::string&) override {}
    bool flush() override { return true; }
    bool close(const std::string&) override { return file_util::writeAtomically(path_, text_).empty(); }

private:
    std::string path_;
    std::string text_;
};

} // namespace

StoreEnvironment::StoreEnvironment(BackupStore& store, BackupManifest manifest, std::shared_ptr<LogSink> sink,
                                   Clock* clock, uint64_t chunkSize, const std::atomic<bool>* stopFlag)
    : TeskEnvironment("F" + std::to_string(manifest.jobId), std::move(sink), clock), store_(store),
      jobDirectory_(store.jobDirectory(manifest.region, manifest.table, manifest.jobId)), chunkSize_(chunkSize),
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
    ChunkedSegmentOutput::removeUnrecorded(directory, previous);
    return std::make_shared<ChunkedSegmentOutput>(*this, directory, segment, std::move(previous), chunkSize_);
}

std::shared_ptr<TeskOutput> StoreEnvironment::openDescriptionOutput() {
    if (!file_util::makeDirectories(jobDirectory_).empty()) return nullptr;
    return std::make_shared<DescriptionOutput>(jobDirectory_ + "/description.json");
}

bool StoreEnvironment::recordSegment(int index, const std::string& restart, const std::vector<ChunkRecord>& chunks) {
    std::lock_guard<std::mutex> guard(manifestMutex_);
    SegmentRecord& segment = manifest_.segments[index];
    segment.index = index;
    segment.closed = true;
    segment.restart = restart;
    segment.chunks = chunks;
    std::string error;
    if (!store_.saveManifest(manifest_, error)) {
        log("recordSegment", "cannot record segment " + std::to_string(index) + ": " + error);
        return false;
    }
    if (restart.empty()) ++segmentsDone_;
    return true;
}

bool StoreEnvironment::finish(const std::string& status, const std::string& failure) {
    std::lock_guard<std::mutex> guard(manifestMutex_);
    manifest_.status = status;
    manifest_.failure = failure;
    manifest_.endTime = clock().now();
    std::string error;
    if (!store_.saveManifest(manifest_, error)) {
        log("finish", "cannot commit the manifest: " + error);
        return false;
    }
    return true;
}

BackupManifest StoreEnvironment::manifest() const {
    std::lock_guard<std::mutex> guard(manifestMutex_);
    return manifest_;
}
