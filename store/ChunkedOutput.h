#pragma once
// One stream of item lines in the backup store (a scan segment or a stream
// shard): lines go into chunk files of about the configured size, never
// splitting a line. Each chunk is written as "<n>.tmp", fsynced and renamed
// to "<n>" once full or at close; close hands the chunks and the restart
// text to the store, which records them in the manifest.
// Used by one producer thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "store/BackupManifest.h"
#include "platform/Crypto.h"
#include "framework/TeskOutput.h"

class StoreEnvironment;

class ChunkedOutput : public TeskOutput {
public:
    // Records a closed output: where it stopped and every chunk it holds.
    using OnClose = std::function<bool(const std::string& restart, const std::vector<ChunkRecord>& chunks,
                                       const std::vector<TimeMark>& times)>;

    // `previous` are the chunks a resumed stream already holds; new chunks
    // are numbered after them.
    ChunkedOutput(StoreEnvironment& environment, std::string directory, std::vector<ChunkRecord> previous,
                  uint64_t chunkSize, OnClose onClose);
    ~ChunkedOutput() override;

    bool putString(const std::string& data) override;
    void updateRestart(const std::string& restart) override { restart_ = restart; }
    bool flush() override { return true; }
    bool close(const std::string& restart) override;
    bool stopNow() override;
    void noteChangeTime(int64_t seconds) override;

    // Removes chunk files of this stream that the manifest does not hold
    // (left by a run that ended before recording them).
    static void removeUnrecorded(const std::string& directory, const std::vector<ChunkRecord>& recorded);

private:
    bool openChunk();
    bool writeToChunk(const char* data, size_t length);
    bool sealChunk();
    bool fail(const std::string& why);

    StoreEnvironment& environment_;
    const std::string directory_;
    const uint64_t chunkSize_;
    const OnClose onClose_;
    std::vector<ChunkRecord> chunks_;
    std::string restart_;
    bool failed_ = false;
    bool closed_ = false;
    // The chunk being written.
    int fd_ = -1;
    ChunkRecord current_;
    std::unique_ptr<Sha256Digest> digest_;
    bool midLine_ = false;
    uint64_t lines_ = 0; // in every chunk so far, the current one included
    std::vector<TimeMark> times_;
};
