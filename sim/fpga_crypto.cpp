// AES-128 building blocks over OpenSSL's EVP interface, and the encrypted
// data formats of the simulated FPGA built from them.
#include "sim/fpga_crypto.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace vexu::sim::fpga_crypto {
namespace {

using Block = std::array<uint8_t, 16>;

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// One pass of an AES-128 cipher mode without padding over whole input.
// The library cannot fail on valid fixed-size arguments short of running
// out of memory; a failure leaves the output zeroed, which no tag accepts.
void RunCipher(const EVP_CIPHER* cipher, bool encrypt, const uint8_t* key, const uint8_t* iv,
               const uint8_t* in, size_t length, uint8_t* out) {
    std::memset(out, 0, length);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return;
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, iv, encrypt ? 1 : 0) != 1) return;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    int written = 0;
    int tail = 0;
    if (EVP_CipherUpdate(ctx.get(), out, &written, in, static_cast<int>(length)) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out + written, &tail) != 1) {
        std::memset(out, 0, length);
    }
}

Block AesEncryptBlock(const uint8_t* key, const Block& in) {
    Block out{};
    RunCipher(EVP_aes_128_ecb(), true, key, nullptr, in.data(), in.size(), out.data());
    return out;
}

Block AesDecryptBlock(const uint8_t* key, const Block& in) {
    Block out{};
    RunCipher(EVP_aes_128_ecb(), false, key, nullptr, in.data(), in.size(), out.data());
    return out;
}

void AesCtr(const uint8_t* key, const Block& counter, const uint8_t* in, size_t length,
            uint8_t* out) {
    RunCipher(EVP_aes_128_ctr(), true, key, counter.data(), in, length, out);
}

// AES-CMAC (RFC 4493) of a message.
Block Cmac(const uint8_t* key, std::span<const uint8_t> message) {
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
    if (!ctx || EVP_MAC_init(ctx, key, 16, params) != 1 ||
        EVP_MAC_update(ctx, message.data(), message.size()) != 1 ||
        EVP_MAC_final(ctx, tag.data(), &length, tag.size()) != 1 || length != tag.size()) {
        tag.fill(0);
    }
    EVP_MAC_CTX_free(ctx);
    return tag;
}

struct WorkingKeys {
    Block mac;
    Block enc;
};

WorkingKeys DeriveKeys(const AesKey128& key) {
    Block one{};
    one[0] = 0x01;
    Block two{};
    two[0] = 0x02;
    return {AesEncryptBlock(key.data(), one), AesEncryptBlock(key.data(), two)};
}

// tag over kind | index | padded payload
Block UnitTag(const WorkingKeys& keys, uint8_t kind, uint8_t index,
              std::span<const uint8_t, kUnitPayloadBytes> padded) {
    std::array<uint8_t, 2 + kUnitPayloadBytes> message{};
    message[0] = kind;
    message[1] = index;
    std::copy(padded.begin(), padded.end(), message.begin() + 2);
    return Cmac(keys.mac.data(), message);
}

Block UnitCounter(std::span<const uint8_t> tag, uint8_t kind, uint8_t index) {
    Block counter{};
    std::copy_n(tag.begin(), kTagBytes, counter.begin());
    counter[kTagBytes] = kind;
    counter[kTagBytes + 1] = index;
    return counter;
}

constexpr std::array<uint8_t, 4> kTrailerMagic = {'V', 'X', 'N', 'T'};
constexpr size_t kDigestBytes = 8;

std::array<uint8_t, kDigestBytes> NvmDigest(const WorkingKeys& keys, uint16_t page,
                                            std::span<const uint8_t, kNvmPageBytes> data) {
    std::array<uint8_t, 3 + kNvmPageBytes> message{};
    message[0] = 'T';
    message[1] = static_cast<uint8_t>(page & 0xFF);
    message[2] = static_cast<uint8_t>(page >> 8);
    std::copy(data.begin(), data.end(), message.begin() + 3);
    Block full = Cmac(keys.mac.data(), message);
    std::array<uint8_t, kDigestBytes> digest{};
    std::copy_n(full.begin(), kDigestBytes, digest.begin());
    return digest;
}

}  // namespace

bool SealUnit(const AesKey128& key, uint8_t kind, uint8_t index, std::span<const uint8_t> payload,
              std::span<uint8_t, kUnitBytes> unit) {
    if (payload.size() > kUnitPayloadBytes) return false;
    std::array<uint8_t, kUnitPayloadBytes> padded{};
    std::copy(payload.begin(), payload.end(), padded.begin());
    WorkingKeys keys = DeriveKeys(key);
    Block tag = UnitTag(keys, kind, index, padded);
    std::copy_n(tag.begin(), kTagBytes, unit.begin());
    AesCtr(keys.enc.data(), UnitCounter(tag, kind, index), padded.data(), padded.size(),
           unit.data() + kTagBytes);
    return true;
}

bool OpenUnit(const AesKey128& key, uint8_t kind, uint8_t index,
              std::span<const uint8_t, kUnitBytes> unit,
              std::span<uint8_t, kUnitPayloadBytes> payload) {
    WorkingKeys keys = DeriveKeys(key);
    std::span<const uint8_t> tag = unit.first(kTagBytes);
    AesCtr(keys.enc.data(), UnitCounter(tag, kind, index), unit.data() + kTagBytes,
           kUnitPayloadBytes, payload.data());
    Block expected = UnitTag(keys, kind, index, payload);
    return std::equal(tag.begin(), tag.end(), expected.begin());
}

std::vector<uint8_t> EncryptArrayRow(const AesKey128& key, std::span<const uint8_t> plainRow) {
    if (plainRow.empty() || plainRow.size() % kArrayChunkBytes != 0) return {};
    size_t chunks = plainRow.size() / kArrayChunkBytes;
    if (chunks > 255) return {};
    std::vector<uint8_t> row(chunks * kUnitBytes);
    for (size_t c = 0; c < chunks; ++c) {
        SealUnit(key, kKindArrayChunk, static_cast<uint8_t>(c),
                 plainRow.subspan(c * kArrayChunkBytes, kArrayChunkBytes),
                 std::span<uint8_t, kUnitBytes>(row.data() + c * kUnitBytes, kUnitBytes));
    }
    return row;
}

bool EncryptFlashRomPage(const AesKey128& key, uint8_t page,
                         std::span<const uint8_t, kFlashRomPageBytes> data,
                         std::span<uint8_t, kUnitBytes> out) {
    if (page > 7) return false;
    std::array<uint8_t, 1 + kFlashRomPageBytes> payload{};
    payload[0] = page;
    std::copy(data.begin(), data.end(), payload.begin() + 1);
    return SealUnit(key, kKindFlashRom, 0, payload, out);
}

std::array<uint8_t, kNvmEncryptedPageBytes> EncryptNvmPage(
    const AesKey128& key, std::span<const uint8_t, kNvmPageBytes> data) {
    std::array<uint8_t, kNvmEncryptedPageBytes> out{};
    constexpr size_t kBytesPerUnit = kNvmPageBytes / kNvmUnitsPerPage;
    for (size_t u = 0; u < kNvmUnitsPerPage; ++u) {
        SealUnit(key, kKindNvmData, static_cast<uint8_t>(u),
                 data.subspan(u * kBytesPerUnit, kBytesPerUnit),
                 std::span<uint8_t, kUnitBytes>(out.data() + u * kUnitBytes, kUnitBytes));
    }
    return out;
}

std::array<uint8_t, kFrameBytes> NvmPageTrailer(const AesKey128& key, uint16_t page,
                                                std::span<const uint8_t, kNvmPageBytes> data) {
    WorkingKeys keys = DeriveKeys(key);
    Block plain{};
    std::copy(kTrailerMagic.begin(), kTrailerMagic.end(), plain.begin());
    plain[4] = static_cast<uint8_t>(page & 0xFF);
    plain[5] = static_cast<uint8_t>(page >> 8);
    auto digest = NvmDigest(keys, page, data);
    std::copy(digest.begin(), digest.end(), plain.begin() + 8);
    return AesEncryptBlock(keys.enc.data(), plain);
}

bool OpenNvmTrailer(const AesKey128& key, std::span<const uint8_t, kFrameBytes> trailer,
                    std::span<const uint8_t, kNvmPageBytes> data, uint16_t& page) {
    WorkingKeys keys = DeriveKeys(key);
    Block cipher{};
    std::copy(trailer.begin(), trailer.end(), cipher.begin());
    Block plain = AesDecryptBlock(keys.enc.data(), cipher);
    if (!std::equal(kTrailerMagic.begin(), kTrailerMagic.end(), plain.begin()) || plain[6] != 0 ||
        plain[7] != 0) {
        return false;
    }
    uint16_t named = static_cast<uint16_t>(plain[4] | (plain[5] << 8));
    auto digest = NvmDigest(keys, named, data);
    if (!std::equal(digest.begin(), digest.end(), plain.begin() + 8)) return false;
    page = named;
    return true;
}

std::array<uint8_t, kFrameBytes> AesCheckBlock(const AesKey128& key) {
    return AesEncryptBlock(key.data(), kAesCheckPlain);
}

bool IsAesCheckBlock(const AesKey128& key, std::span<const uint8_t, kFrameBytes> block) {
    Block cipher{};
    std::copy(block.begin(), block.end(), cipher.begin());
    return AesDecryptBlock(key.data(), cipher) == kAesCheckPlain;
}

}  // namespace vexu::sim::fpga_crypto
