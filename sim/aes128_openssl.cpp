// AES-128 over OpenSSL's EVP interface (Linux).
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>
#include <memory>

#include "sim/aes128.h"

namespace vexu::sim::aes128 {
namespace {

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// One pass of an AES-128 cipher mode without padding over the whole input.
void RunCipher(const EVP_CIPHER* cipher, bool encrypt, const uint8_t* key, const uint8_t* iv,
               const uint8_t* in, size_t length, uint8_t* out) {
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    int written = 0;
    int tail = 0;
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, iv, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_CipherUpdate(ctx.get(), out, &written, in, static_cast<int>(length)) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out + written, &tail) != 1) {
        std::memset(out, 0, length);
    }
}

}  // namespace

Block EncryptBlock(Key key, const Block& in) {
    Block out{};
    RunCipher(EVP_aes_128_ecb(), true, key.data(), nullptr, in.data(), in.size(), out.data());
    return out;
}

Block DecryptBlock(Key key, const Block& in) {
    Block out{};
    RunCipher(EVP_aes_128_ecb(), false, key.data(), nullptr, in.data(), in.size(), out.data());
    return out;
}

void Ctr(Key key, const Block& counter, const uint8_t* in, size_t length, uint8_t* out) {
    RunCipher(EVP_aes_128_ctr(), true, key.data(), counter.data(), in, length, out);
}

Block Cmac(Key key, std::span<const uint8_t> message) {
    Block tag{};
    // Fetching the algorithm walks the provider tables: done once.
    static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    if (!mac) return tag;
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
    char cipherName[] = "AES-128-CBC";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipherName, 0),
        OSSL_PARAM_construct_end(),
    };
    size_t length = 0;
    if (!ctx || EVP_MAC_init(ctx, key.data(), key.size(), params) != 1 ||
        EVP_MAC_update(ctx, message.data(), message.size()) != 1 ||
        EVP_MAC_final(ctx, tag.data(), &length, tag.size()) != 1 || length != tag.size()) {
        tag.fill(0);
    }
    EVP_MAC_CTX_free(ctx);
    return tag;
}

}  // namespace vexu::sim::aes128
