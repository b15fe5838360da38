#pragma once
// Reads one job of the backup store back, for a restore: the description,
// the metadata of an incremental, and each segment's or shard's lines,
// chunk after chunk. Every chunk is checked against its manifest size and
// SHA-256 as it is read; a mismatch makes the input report an error.
// Thread safety: each input is used by one worker; opening is thread-safe.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "store/BackupStore.h"
#include "framework/TeskEnvironment.h"

struct ReadSettings;

class StoreReadEnvironment : public TeskEnvironment {
public:
    StoreReadEnvironment(BackupStore::Job job, std::shared_ptr<LogSink> sink, Clock* clock = &systemClock());

    std::shared_ptr<TeskInput> openSegmentInput(const std::string& table, int segment) override;
    std::shared_ptr<TeskInput> openShardInput(const std::string& shardId, int64_t time) override;
    std::shared_ptr<TeskInput> openMetadataInput() override;
    std::shared_ptr<TeskInput> openDescriptionInput() override;

    const BackupStore::Job& job() const { return job_; }
    // Every line any input of this environment hands out is counted here
    // (for progress displays); set before the first input is opened.
    void countLinesInto(std::atomic<uint64_t>* counter) { lineCounter_ = counter; }
    // Shard inputs end before the first change made after second `until`
    // (a restore to a point in time); set before the first input is opened.
    void replayChangesUntil(int64_t until) { until_ = until; }

    // Every chunk of the job has just been checked against the manifest (as
    // a restore does before it writes anything): inputs then read each chunk
    // once, hashing it as it streams, and fail at its end if it changed
    // since, instead of reading it twice. Set before the first input.
    void chunksProvenWhole() { proven_ = true; }

    // Once `flag` is set, every input fails at its next line with a failure
    // that begins with kStoppedText: a restore asked to stop ends after the
    // lines it holds. Set before the first input.
    void stopWhen(const std::atomic<bool>* flag) { stop_ = flag; }
    static constexpr const char* kStoppedText = "stopped by request";

private:
    std::shared_ptr<TeskInput> openFile(const std::string& name);
    bool compressed() const { return !job_.manifest.codec.empty(); }
    ReadSettings settings() const;

    const BackupStore::Job job_;
    std::atomic<uint64_t>* lineCounter_ = nullptr;
    int64_t until_ = 0; // 0: every change
    bool proven_ = false;
    const std::atomic<bool>* stop_ = nullptr;
};
