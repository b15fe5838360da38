#pragma once
// The environment of one backup job whose data goes to the backup store:
// segment outputs (full) and shard outputs (incremental) write rolling
// chunks, the description and metadata outputs write description.json and
// metadata.json, and each segment or shard that closes is recorded in the
// job's manifest. The runner sees only the environment's outputs; all the
// store's bookkeeping happens here. Thread safety: workers call in
// concurrently; the manifest and counters are guarded.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/TeskEnvironment.h"
#include "store/BackupManifest.h"
#include "store/BackupStore.h"
#include "store/ChunkedOutput.h"

class StoreEnvironment : public TeskEnvironment {
public:
    static constexpr uint64_t kDefaultChunkSize = 16ull << 20;

    // `manifest` is the job as it stands (new, or loaded to resume it).
    // `stopFlag`, when given, is the host's request to stop (signals).
    // A manifest with the zstd codec gets its chunks compressed at
    // `compressionLevel` (3 when 0).
    StoreEnvironment(BackupStore& store, BackupManifest manifest, std::shared_ptr<LogSink> sink, Clock* clock,
                     uint64_t chunkSize = kDefaultChunkSize, const std::atomic<bool>* stopFlag = nullptr,
                     int compressionLevel = 0);

    std::shared_ptr<TeskOutput> openSegmentOutput(const std::string& table, int segment) override;
    std::shared_ptr<TeskOutput> openDescriptionOutput() override;
    std::shared_ptr<TeskOutput> openShardOutput(const std::string& table, const std::string& shardId,
                                                int64_t startTime) override;
    std::shared_ptr<TeskOutput> openMetadataOutput() override;

    // Records a closed segment: where it stopped and every chunk it holds.
    bool recordSegment(int index, const std::string& restart, const std::vector<ChunkRecord>& chunks);
    // Records how far an open segment is: its chunks up to `restart`.
    bool recordSegmentProgress(int index, const std::string& restart, const std::vector<ChunkRecord>& chunks);
    // Records a closed shard: its state for the next incremental and its chunks.
    bool recordShard(const std::string& shardId, const std::string& state, const std::vector<ChunkRecord>& chunks,
                     const std::vector<TimeMark>& times);
    // Records a control file's size and checksum once it is written.
    bool recordFile(const std::string& name, const std::string& text);
    // Notes the incremental this job continues (committed with the next record).
    void setPreviousJob(int64_t jobId);
    // Notes the newest full backup complete when this incremental began.
    void setAfterFull(int64_t jobId);
    // Sets the final status and end time and commits the manifest.
    bool finish(const std::string& status, const std::string& failure);

    BackupManifest manifest() const;
    const std::string& jobDirectory() const { return jobDirectory_; }
    bool stopRequested() const { return progress_.stopRequested(); }

    // Progress, for display while the job runs.
    uint64_t linesWritten() const { return progress_.lines; }
    uint64_t bytesWritten() const { return progress_.bytes; }
    // Segments recorded as scanned to their end, or shards recorded.
    unsigned segmentsDone() const { return segmentsDone_; }

private:
    bool saveLocked(const char* function, const std::string& what);

    BackupStore& store_;
    const std::string jobKey_;
    const std::string jobDirectory_;
    const uint64_t chunkSize_;
    const int compressionLevel_; // 0: chunks are stored as they are
    WriteProgress progress_;
    std::atomic<unsigned> segmentsDone_{0};
    mutable std::mutex manifestMutex_;
    BackupManifest manifest_; // guarded by manifestMutex_
};
