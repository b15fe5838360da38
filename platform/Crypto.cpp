#include "platform/Crypto.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

// OpenSSL 3 looks an algorithm up among its providers each time one is
// named by a legacy constant or a one-shot call: a few microseconds that
// every request paid several times over. The algorithms are fetched once,
// and each thread keeps its HMAC context, which only needs a new key.
namespace {

// Freed when the library is unloaded or the process ends. A host that
// unloads our module would otherwise lose the fetched algorithms with the
// module's memory. This object is made after OpenSSL registered its own
// clean-up, so it is destroyed before that runs.
struct FetchedAlgorithms {
    FetchedAlgorithms() : sha256(EVP_MD_fetch(nullptr, "SHA256", nullptr)), hmac(EVP_MAC_fetch(nullptr, "HMAC", nullptr)) {}
    ~FetchedAlgorithms() {
        EVP_MAC_free(hmac);
        EVP_MD_free(sha256);
    }
    FetchedAlgorithms(const FetchedAlgorithms&) = delete;
    FetchedAlgorithms& operator=(const FetchedAlgorithms&) = delete;
    EVP_MD* const sha256;
    EVP_MAC* const hmac;
};

const FetchedAlgorithms& fetched() {
    static const FetchedAlgorithms algorithms;
    return algorithms;
}

const EVP_MD* sha256Method() { return fetched().sha256 ? fetched().sha256 : EVP_sha256(); }

struct HmacContext {
    HmacContext() {
        if (!fetched().hmac) return;
        context = EVP_MAC_CTX_new(fetched().hmac);
        char digest[] = "SHA256";
        const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                     OSSL_PARAM_construct_end()};
        if (context && !EVP_MAC_CTX_set_params(context, params)) {
            EVP_MAC_CTX_free(context);
            context = nullptr;
        }
    }
    ~HmacContext() { EVP_MAC_CTX_free(context); }
    HmacContext(const HmacContext&) = delete;
    HmacContext& operator=(const HmacContext&) = delete;
    EVP_MAC_CTX* context = nullptr;
};

} // namespace

bool HMAC_SHA256(unsigned char out[32], const void* key, size_t keyLength, const void* data, size_t dataLength) {
    thread_local HmacContext hmac;
    size_t length = 0;
    return hmac.context && EVP_MAC_init(hmac.context, static_cast<const unsigned char*>(key), keyLength, nullptr) &&
           EVP_MAC_update(hmac.context, static_cast<const unsigned char*>(data), dataLength) &&
           EVP_MAC_final(hmac.context, out, &length, 32) && length == 32;
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

Sha256Digest::Sha256Digest() : context_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(context_, sha256Method(), nullptr); }

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
