#pragma once
// One scan segment's output in the backup store: item lines go into chunk
// files of about the configured size, never splitting a line. Each chunk is
// written as "<n>.tmp", fsynced and renamed to "<n>" once full or at close;
// close records the segment's chunks and restart text in the manifest.
// Used by one producer thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BackupManifest.h"
#include "Crypto.h"
#include "TeskOutput.h"

class StoreEnvironment;

class ChunkedSegmentOutput : public TeskOutput {
public:
    // `previous` are the chunks a resumed segment already holds; new chunks
    // are numbered after them.
    ChunkedSegmentOutput(StoreEnvironment& environment, std::string directory, int segmentIndex,
                         std::vector<ChunkRecord> previous, uint64_t chunkSize);
    ~ChunkedSegmentOutput() override;

    bool putString(const std::string& data) override;
    void updateRestart(const std::string& restart) override { restart_ = restart; }
    bool flush() override { return true; }
    bool close(const std::string& restart) override;
    bool stopNow() override;

    // Removes chunk files of this segment that the manifest does not hold
    // (left by a run that ended before recording them).
    static void removeUnrecorded(const std::string& directory, const std::vector<ChunkRecord>& recorded);

private:
    bool openChunk();
    bool writeToChunk(const char* data, size_t length);
    bool sealChunk();
    bool fail(const std::string& why);

    StoreEnvironment& environment_;
    const std::string directory_;
    const int segmentIndex_;
    const uint64_t chunkSize_;
    std::vector<ChunkRecord> chunks_;
    std::string restart_;
    bool failed_ = false;
    bool closed_ = false;
    // The chunk being written.
    int fd_ = -1;
    ChunkRecord current_;
    std::unique_ptr<Sha256Digest> digest_;
    bool midLine_ = false;
};
