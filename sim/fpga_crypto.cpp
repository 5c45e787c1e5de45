// The encrypted data formats of the simulated FPGA, built from AES-128
// (sim/aes128.h).
#include "sim/fpga_crypto.h"

#include <algorithm>
#include <cstring>

#include "sim/aes128.h"

namespace vexu::sim::fpga_crypto {
namespace {

using aes128::Block;

Block AesEncryptBlock(const uint8_t* key, const Block& in) {
    return aes128::EncryptBlock(aes128::Key(key, 16), in);
}

Block AesDecryptBlock(const uint8_t* key, const Block& in) {
    return aes128::DecryptBlock(aes128::Key(key, 16), in);
}

void AesCtr(const uint8_t* key, const Block& counter, const uint8_t* in, size_t length, uint8_t* out) {
    aes128::Ctr(aes128::Key(key, 16), counter, in, length, out);
}

Block Cmac(const uint8_t* key, std::span<const uint8_t> message) {
    return aes128::Cmac(aes128::Key(key, 16), message);
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
