#include "platform/Crypto.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

bool HMAC_SHA256(unsigned char out[32], const void* key, size_t keyLength, const void* data, size_t dataLength) {
    unsigned int length = 32;
    return HMAC(EVP_sha256(), key, static_cast<int>(keyLength), static_cast<const unsigned char*>(data), dataLength,
                out, &length) != nullptr;
}

std::string HexEncode(const void* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    const auto* in = static_cast<const unsigned char*>(bytes);
    std::string text(length * 2, '0');
    for (size_t i = 0; i < length; ++i) {
        text[2 * i] = digits[in[i] >> 4];
        text[2 * i + 1] = digits[in[i] & 0x0f];
    }
    return text;
}

Sha256Digest::Sha256Digest() : context_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(context_, EVP_sha256(), nullptr); }

Sha256Digest::~Sha256Digest() { EVP_MD_CTX_free(context_); }

void Sha256Digest::add(const void* data, size_t length) { EVP_DigestUpdate(context_, data, length); }

void Sha256Digest::finish(unsigned char* out) {
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_, out, &length);
}

std::string Sha256Digest::finishHex() {
    unsigned char digest[kSize];
    finish(digest);
    return HexEncode(digest, kSize);
}
