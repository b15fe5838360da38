#pragma once
// One stream of item lines in the backup store (a scan segment or a stream
// shard): lines go into chunk objects "<stream>/<n>" of about the
// configured size, never splitting a line. Each chunk is committed once full
// or at close; close makes the stream's chunks durable and hands them, with
// the restart text, to `onClose`, which records them in the manifest. With
// `onProgress`, a restart text that follows a rolled-over chunk also seals
// the chunk being written and records all of them with that text, so that
// a stream cut short goes on from there instead of from its start.
// Used by one producer thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <atomic>

#include "framework/TeskEnvironment.h"
#include "framework/TeskOutput.h"
#include "platform/Crypto.h"
#include "store/BackupManifest.h"
#include "store/ChunkCodec.h"
#include "store/StoreBackend.h"

// What the outputs of one job share: what they wrote (for progress
// displays), and the host's request to stop.
struct WriteProgress {
    std::atomic<uint64_t> lines{0};
    std::atomic<uint64_t> bytes{0};
    const std::atomic<bool>* stopFlag = nullptr;
    bool stopRequested() const { return stopFlag && stopFlag->load(); }
};

class ChunkedOutput : public TeskOutput {
public:
    // Records a closed output: where it stopped and every chunk it holds.
    using OnClose = std::function<bool(const std::string& restart, const std::vector<ChunkRecord>& chunks,
                                       const std::vector<TimeMark>& times)>;

    // `previous` are the chunks a resumed stream already holds; new chunks
    // are numbered after them.
    // `environment` receives the log; `stream` is the stream's key in `backend`.
    // Records where an open stream stands: every chunk up to `restart`.
    using OnProgress = std::function<bool(const std::string& restart, const std::vector<ChunkRecord>& chunks)>;

    // With a `compressionLevel` above 0, each chunk is one zstd frame of its
    // lines, and the chunk size counts the lines' bytes.
    ChunkedOutput(TeskEnvironment& environment, StoreBackend& backend, std::string stream,
                  std::vector<ChunkRecord> previous, uint64_t chunkSize, WriteProgress& progress, OnClose onClose,
                  OnProgress onProgress = nullptr, int compressionLevel = 0);
    ~ChunkedOutput() override;

    bool putString(const std::string& data) override { return putData(data.data(), data.size()); }
    bool putData(const char* data, size_t length) override;
    void updateRestart(const std::string& restart) override;
    bool flush() override { return true; }
    bool close(const std::string& restart) override;
    bool stopNow() override;
    void noteChangeTime(int64_t seconds) override;

    // Removes objects of this stream that the manifest does not hold (left
    // by a run that ended before recording them).
    static void removeUnrecorded(StoreBackend& backend, const std::string& stream,
                                 const std::vector<ChunkRecord>& recorded);

private:
    bool openChunk();
    bool writeToChunk(const char* data, size_t length);
    bool store(const char* data, size_t length);
    bool sealChunk();
    bool fail(const std::string& why);
    std::string failure() const override { return failure_; }

    TeskEnvironment& environment_;
    StoreBackend& backend_;
    const std::string stream_;
    WriteProgress& progress_;
    const uint64_t chunkSize_;
    const OnClose onClose_;
    const OnProgress onProgress_;
    std::vector<ChunkRecord> chunks_;
    size_t recorded_; // chunks_ as far as recorded
    std::unique_ptr<ChunkCompressor> compressor_;
    std::string compressed_;
    uint64_t filled_ = 0; // bytes of lines in the current chunk
    std::string restart_;
    bool failed_ = false;
    std::string failure_; // why failed_ was set
    bool closed_ = false;
    // The chunk being written.
    std::unique_ptr<ObjectWriter> writer_;
    ChunkRecord current_;
    std::unique_ptr<Sha256Digest> digest_;
    bool midLine_ = false;
    uint64_t lines_ = 0; // in every chunk so far, the current one included
    std::vector<TimeMark> times_;
};
