#pragma once
// The host's cryptographic functions, on OpenSSL.

#include <cstddef>
#include <string>

// HMAC-SHA256 of `data` under `key` into `out` (32 bytes).
bool HMAC_SHA256(unsigned char out[32], const void* key, size_t keyLength, const void* data, size_t dataLength);

// Lower-case hexadecimal, two characters per byte.
std::string HexEncode(const void* bytes, size_t length);

// SHA-256 digest built up piece by piece.
class Sha256Digest {
public:
    static constexpr size_t kSize = 32;
    Sha256Digest();
    ~Sha256Digest();
    Sha256Digest(const Sha256Digest&) = delete;
    Sha256Digest& operator=(const Sha256Digest&) = delete;
    void add(const void* data, size_t length);
    // Writes the digest into `out` (kSize bytes); the object is then spent.
    void finish(unsigned char* out);
    // Convenience: the hex digest of everything added so far.
    std::string finishHex();

private:
    struct evp_md_ctx_st* context_;
};
