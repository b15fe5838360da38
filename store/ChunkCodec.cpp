#include "store/ChunkCodec.h"

#include <zstd.h>

#include <cstdlib>

ChunkCompressor::ChunkCompressor(int level) : context_(ZSTD_createCCtx()) {
    if (context_) ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, level);
}

ChunkCompressor::~ChunkCompressor() { ZSTD_freeCCtx(context_); }

bool ChunkCompressor::compress(const char* data, size_t length, bool end, std::string& out, std::string& error) {
    if (!context_) {
        error = "cannot set up zstd compression";
        return false;
    }
    ZSTD_inBuffer input{data, length, 0};
    const ZSTD_EndDirective mode = end ? ZSTD_e_end : ZSTD_e_continue;
    for (;;) {
        const size_t before = out.size();
        out.resize(before + ZSTD_CStreamOutSize());
        ZSTD_outBuffer output{&out[before], ZSTD_CStreamOutSize(), 0};
        const size_t left = ZSTD_compressStream2(context_, &output, &input, mode);
        out.resize(before + output.pos);
        if (ZSTD_isError(left)) {
            error = std::string("zstd compression failed: ") + ZSTD_getErrorName(left);
            return false;
        }
        // Done once the input is taken and, at the end, the frame flushed.
        if (end ? left == 0 : input.pos == input.size) return true;
    }
}

ChunkDecompressor::ChunkDecompressor() : context_(ZSTD_createDCtx()) {}

ChunkDecompressor::~ChunkDecompressor() { ZSTD_freeDCtx(context_); }

void ChunkDecompressor::reset() {
    if (context_) ZSTD_DCtx_reset(context_, ZSTD_reset_session_only);
    finished_ = false;
}

bool ChunkDecompressor::decompress(const char* data, size_t length, std::string& out, std::string& error) {
    if (!context_) {
        error = "cannot set up zstd decompression";
        return false;
    }
    ZSTD_inBuffer input{data, length, 0};
    while (input.pos < input.size) {
        if (finished_) {
            error = "bytes after the end of the chunk's zstd frame";
            return false;
        }
        const size_t before = out.size();
        out.resize(before + ZSTD_DStreamOutSize());
        ZSTD_outBuffer output{&out[before], ZSTD_DStreamOutSize(), 0};
        const size_t result = ZSTD_decompressStream(context_, &output, &input);
        out.resize(before + output.pos);
        if (ZSTD_isError(result)) {
            error = std::string("not a zstd frame: ") + ZSTD_getErrorName(result);
            return false;
        }
        if (result == 0) finished_ = true;
    }
    return true;
}

bool parseCompression(const std::string& text, int& level, std::string& error) {
    level = 3;
    if (text == kZstdCodec) return true;
    const std::string prefix = std::string(kZstdCodec) + ":";
    if (text.compare(0, prefix.size(), prefix) == 0) {
        char* end = nullptr;
        const long value = std::strtol(text.c_str() + prefix.size(), &end, 10);
        if (end != text.c_str() + prefix.size() && *end == '\0' && value >= 1 && value <= 19) {
            level = static_cast<int>(value);
            return true;
        }
    }
    error = "'" + text + "' is no compression: give zstd or zstd:LEVEL with a level from 1 to 19";
    return false;
}
