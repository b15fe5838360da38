#pragma once
// Compression of stored chunks. A compressed chunk is one zstd frame of the
// chunk's lines; the manifest's hash and byte count are those of the stored
// (compressed) bytes, so a chunk is proven intact without decompressing it.

#include <cstddef>
#include <memory>
#include <string>

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

// The codecs a manifest may name: "" (none) and this one.
constexpr const char* kZstdCodec = "zstd";

class ChunkCompressor {
public:
    explicit ChunkCompressor(int level);
    ~ChunkCompressor();
    ChunkCompressor(const ChunkCompressor&) = delete;
    ChunkCompressor& operator=(const ChunkCompressor&) = delete;
    // Appends to `out` what `data` compresses to; with `end`, the rest of
    // the frame too, and the next call starts a new frame. False with why.
    bool compress(const char* data, size_t length, bool end, std::string& out, std::string& error);

private:
    ZSTD_CCtx_s* context_;
};

class ChunkDecompressor {
public:
    ChunkDecompressor();
    ~ChunkDecompressor();
    ChunkDecompressor(const ChunkDecompressor&) = delete;
    ChunkDecompressor& operator=(const ChunkDecompressor&) = delete;
    // Starts a new frame.
    void reset();
    // Appends to `out` what the stored bytes decompress to. False with why
    // for bytes that are no zstd frame, or data after the frame's end.
    bool decompress(const char* data, size_t length, std::string& out, std::string& error);
    // Whether the frame has ended (a chunk that stops before is cut short).
    bool finished() const { return finished_; }

private:
    ZSTD_DCtx_s* context_;
    bool finished_ = false;
};

// "zstd" or "zstd:LEVEL" (1 to 19) into a level; false with why.
bool parseCompression(const std::string& text, int& level, std::string& error);
