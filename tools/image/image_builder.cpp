#include "tools/image/image_builder.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "engine/device_id_table.h"

namespace vexu::image {

namespace {

// Header bytes 0..15 carry the producer's tag; the engine reads none of them.
constexpr char kProducerTag[] = "Vexu data image";
// The entry count sits right after the last header field, the directory
// right after it.
constexpr size_t kDirectoryPosition = kHeaderFieldsEnd + 1;
static_assert(kDirectoryPosition <= 0xFF);

struct Block {
    uint8_t id;
    std::vector<uint8_t> data;
    bool absent = false;
};

std::string Format(const char* format, unsigned long a, unsigned long b = 0) {
    char text[200];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// Appends count-bit fields, least significant bit first, to a bit stream.
class BitPacker {
public:
    void Put(uint32_t value, size_t bits) {
        for (size_t i = 0; i < bits; ++i, ++bitCount_) {
            if (bitCount_ % 8 == 0) bytes_.push_back(0);
            if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(1u << (bitCount_ % 8));
        }
    }
    std::vector<uint8_t> Take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
    size_t bitCount_ = 0;
};

std::vector<uint8_t> LeBytes(uint32_t value, size_t count) {
    std::vector<uint8_t> bytes(count);
    PutLe(bytes.data(), value, count);
    return bytes;
}

bool AnyEncrypted(const ImageParts& parts) {
    bool encrypted = (parts.encryptArray && (!parts.arrayRows.empty() || !parts.rlock.empty())) ||
                     (parts.encryptFlashRom && parts.flashRom.has_value());
    for (const NvmBlockParts& nvm : parts.nvm) encrypted = encrypted || (nvm.present && nvm.encrypted);
    return encrypted;
}

// The key the device holds: encrypted parts and the AES check block use it.
std::optional<Key128> DeviceKey(const ImageParts& parts) {
    return parts.encryptionKey ? parts.encryptionKey : parts.aesKey;
}

bool NeedsCipher(const ImageParts& parts) { return AnyEncrypted(parts) || parts.aesKey.has_value(); }

bool CheckEncryption(const ImageParts& parts, const ImageCipher* cipher, std::string& error) {
    if (!NeedsCipher(parts)) return true;
    if (cipher == nullptr) {
        error = "encrypted parts and AES keys are not available in this build (no device cipher)";
        return false;
    }
    if (!DeviceKey(parts)) {
        error = "encrypted parts need the device's AES key (the AES key or the encryption key)";
        return false;
    }
    for (size_t k = 0; k < kNvmBlockCount; ++k) {
        const NvmBlockParts& nvm = parts.nvm[k];
        if (!nvm.present || !nvm.encrypted) continue;
        for (size_t s = 0; s < nvm.segments.size(); ++s) {
            const NvmSegment& segment = nvm.segments[s];
            // The device takes whole pages only; a partial page would be lost.
            if (segment.words.size() % kNvmWordsPerPage != 0) {
                error = Format("NVM block %lu segment %lu: encrypted segments hold whole pages of 32 words", k, s);
                return false;
            }
            if ((segment.startAddress >> 8) + segment.words.size() / kNvmWordsPerPage > 0x10000) {
                error = Format("NVM block %lu segment %lu: its pages run past page 65535", k, s);
                return false;
            }
        }
    }
    // "program" erases the security settings, and the device's AES key with
    // them, before the encrypted data arrives: such an image can never
    // program. The device's security settings stay as they are instead.
    if (AnyEncrypted(parts) && (parts.userLock || parts.passKey)) {
        error = std::string(kEncryptedWithSecurity);
        return false;
    }
    return true;
}

bool CheckParts(const ImageParts& parts, const DeviceGeometry& geometry, const ImageCipher* cipher,
                std::string& error) {
    if (!CheckEncryption(parts, cipher, error)) return false;
    if (!parts.boundaryScan.empty() && parts.boundaryScan.size() != geometry.BoundaryScanBytes()) {
        error = Format("boundary-scan data must be %lu bytes (%lu bits) for this device", geometry.BoundaryScanBytes(),
                       geometry.boundaryScanLength);
        return false;
    }
    const size_t arrayBytes = static_cast<size_t>(geometry.PlainRowBytes()) * geometry.arrayRowCount;
    if (!parts.arrayRows.empty() && parts.arrayRows.size() != arrayBytes) {
        error = Format("array data must be %lu bytes: ", arrayBytes) +
                Format("%lu rows of %lu bytes", geometry.arrayRowCount, geometry.PlainRowBytes());
        return false;
    }
    if (!parts.rlock.empty() && parts.rlock.size() != geometry.PlainRowBytes()) {
        error = Format("RLOCK data must be one row of %lu bytes", geometry.PlainRowBytes());
        return false;
    }
    if (parts.designName && (*parts.designName)[kDesignNameSize - 1] >= 0x40) {
        error = "design name byte 8 must be below 0x40: its top two bits hold the cycle count";
        return false;
    }
    if (parts.userLock.has_value() != parts.passKey.has_value()) {
        error = "security settings need both the user lock bits and the pass key";
        return false;
    }
    if (parts.userLock && geometry.deviceClass == 1 && *parts.userLock > 0xFFFF) {
        error = "user lock bits of a class 1 device are 2 bytes (at most 0xFFFF)";
        return false;
    }
    if (parts.userLock && *parts.userLock > 0xFFFFFF) {
        error = "user lock bits are at most 3 bytes (0xFFFFFF)";
        return false;
    }
    for (size_t k = 0; k < kNvmBlockCount; ++k) {
        const NvmBlockParts& nvm = parts.nvm[k];
        if (!nvm.present) continue;
        if (nvm.segments.size() > 0xFFFF) {
            error = Format("NVM block %lu has more than 65535 segments", k);
            return false;
        }
        for (size_t s = 0; s < nvm.segments.size(); ++s) {
            const NvmSegment& segment = nvm.segments[s];
            if (segment.startAddress >= (1u << kNvmAddressBits)) {
                error = Format("NVM block %lu segment %lu: the start address has 22 bits", k, s);
                return false;
            }
            if (segment.pageValue >= (1u << kNvmPageValueBits)) {
                error = Format("NVM block %lu segment %lu: the page value has 3 bits", k, s);
                return false;
            }
        }
    }
    for (const ExtraBlock& extra : parts.extraBlocks) {
        if (extra.id == kBlockHeader) {
            error = "block 0 is the header and cannot be added";
            return false;
        }
    }
    return true;
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// Plain blocks carry the words and a 3-bit page value per segment; encrypted
// blocks carry 16 frames per page and one trailer frame per page, pages in
// order across all segments.
void AddNvmBlocks(size_t k, const NvmBlockParts& nvm, const ImageCipher* cipher, const std::optional<Key128>& key,
                  std::vector<Block>& blocks) {
    std::vector<uint8_t> wordCounts;
    BitPacker addresses;
    BitPacker pageValues;
    std::vector<uint8_t> data;
    std::vector<uint8_t> trailers;
    for (const NvmSegment& segment : nvm.segments) {
        Append(wordCounts, LeBytes(static_cast<uint32_t>(segment.words.size()), 4));
        addresses.Put(segment.startAddress, kNvmAddressBits);
        std::vector<uint8_t> plain;
        for (uint32_t word : segment.words) Append(plain, LeBytes(word, 4));
        if (!nvm.encrypted) {
            pageValues.Put(segment.pageValue, kNvmPageValueBits);
            Append(data, plain);
            continue;
        }
        for (size_t page = 0; page < plain.size() / kNvmPageBytes; ++page) {
            const std::span<const uint8_t, kNvmPageBytes> bytes(&plain[page * kNvmPageBytes], kNvmPageBytes);
            const uint16_t number = static_cast<uint16_t>((segment.startAddress >> 8) + page);
            Append(data, cipher->EncryptNvmPage(*key, bytes));
            Append(trailers, cipher->NvmPageTrailer(*key, number, bytes));
        }
    }
    blocks.push_back({NvmBlockId(k, kNvmWordCounts), std::move(wordCounts)});
    blocks.push_back({NvmBlockId(k, kNvmSegmentCount), LeBytes(static_cast<uint32_t>(nvm.segments.size()), 2)});
    blocks.push_back({NvmBlockId(k, kNvmStartAddresses), addresses.Take()});
    blocks.push_back({NvmBlockId(k, kNvmData), std::move(data)});
    blocks.push_back({NvmBlockId(k, kNvmTrailer), nvm.encrypted ? std::move(trailers) : pageValues.Take()});
}

std::vector<uint8_t> EncryptRows(const std::vector<uint8_t>& plain, uint32_t rowBytes, const ImageCipher& cipher,
                                 const Key128& key) {
    std::vector<uint8_t> rows;
    for (size_t at = 0; at + rowBytes <= plain.size(); at += rowBytes) {
        Append(rows, cipher.EncryptRow(key, std::span<const uint8_t>(&plain[at], rowBytes)));
    }
    return rows;
}

std::vector<Block> ComposeBlocks(const ImageParts& parts, const DeviceGeometry& geometry,
                                 const ImageCipher* cipher) {
    const std::optional<Key128> key = DeviceKey(parts);
    std::vector<Block> blocks;
    for (const ExtraBlock& extra : parts.extraBlocks) {
        if (extra.beforeOthers) blocks.push_back({extra.id, extra.data, extra.absent});
    }
    if (parts.designName) blocks.push_back({kBlockDesignName, {parts.designName->begin(), parts.designName->end()}});
    if (!parts.boundaryScan.empty()) blocks.push_back({kBlockBoundaryScan, parts.boundaryScan});
    if (parts.silsig) blocks.push_back({kBlockSilsig, LeBytes(*parts.silsig, kSilsigSize)});
    if (parts.designChecksum) blocks.push_back({kBlockDesignChecksum, LeBytes(*parts.designChecksum, 2)});
    const bool encryptRows = parts.encryptArray && cipher && key;
    const uint32_t rowBytes = geometry.PlainRowBytes();
    if (!parts.arrayRows.empty()) {
        blocks.push_back(
            {kBlockArrayRows, encryptRows ? EncryptRows(parts.arrayRows, rowBytes, *cipher, *key) : parts.arrayRows});
    }
    if (!parts.rlock.empty()) {
        blocks.push_back({kBlockRlock, encryptRows ? EncryptRows(parts.rlock, rowBytes, *cipher, *key) : parts.rlock});
    }
    if (parts.flashRom) {
        blocks.push_back({kBlockFlashRomMask, {parts.flashRom->mask}});
        // Pages in the order the engine sends them: plain from page 7 down to
        // page 0, encrypted from page 0 up to page 7.
        std::vector<uint8_t> pages;
        const bool encrypted = parts.encryptFlashRom && cipher && key;
        for (size_t i = 0; i < kFlashRomPageCount; ++i) {
            const uint8_t page = static_cast<uint8_t>(encrypted ? i : kFlashRomPageCount - 1 - i);
            if ((parts.flashRom->mask & (1u << page)) == 0) continue;
            const FlashRomPage& data = parts.flashRom->pages[page];
            if (encrypted) {
                Append(pages, cipher->EncryptFlashRomPage(*key, page, data));
            } else {
                pages.insert(pages.end(), data.begin(), data.end());
            }
        }
        if (!pages.empty()) blocks.push_back({kBlockFlashRomPages, std::move(pages)});
    }
    for (size_t k = 0; k < kNvmBlockCount; ++k) {
        if (parts.nvm[k].present) AddNvmBlocks(k, parts.nvm[k], cipher, key, blocks);
    }
    if (parts.passKey) blocks.push_back({kBlockPassKey, {parts.passKey->begin(), parts.passKey->end()}});
    if (parts.aesKey) blocks.push_back({kBlockAesKey, {parts.aesKey->begin(), parts.aesKey->end()}});
    if (NeedsCipher(parts) && cipher && key) {
        const Key128 check = cipher->AesCheckBlock(*key);
        blocks.push_back({kBlockAesCheck, {check.begin(), check.end()}});
    }
    if (parts.userLock) blocks.push_back({kBlockUserLock, LeBytes(*parts.userLock, geometry.UserLockBytes())});
    for (const ExtraBlock& extra : parts.extraBlocks) {
        if (!extra.beforeOthers) blocks.push_back({extra.id, extra.data, extra.absent});
    }
    return blocks;
}

}  // namespace

bool GeometryForIdCode(uint32_t idCode, DeviceGeometry& geometry) {
    const int row = FindDeviceIdRow(idCode, idCode);
    if (row < 0) return false;
    const DeviceIdRow& entry = kDeviceIdTable[row];
    geometry.tableRow = row;
    geometry.rowWidthFactor = entry.rowWidthFactor;
    geometry.arrayRowCount = entry.arrayRowCount;
    geometry.deviceClass = entry.deviceClass;
    geometry.boundaryScanLength = entry.boundaryScanLength;
    return true;
}

uint32_t EncryptionEnableBits(const ImageParts& parts) {
    uint32_t bits = 0;
    if (parts.encryptArray && (!parts.arrayRows.empty() || !parts.rlock.empty())) bits |= 1u << 20;
    if (parts.encryptFlashRom && parts.flashRom) bits |= 1u << 18;
    for (size_t k = 0; k < kNvmBlockCount; ++k)
        if (parts.nvm[k].present && parts.nvm[k].encrypted) bits |= 1u << (3 * k + 2);
    return bits;
}

uint16_t DeriveSupportFlags(const ImageParts& parts) {
    if (parts.supportFlags) return *parts.supportFlags;
    uint16_t flags = 0;
    if (!parts.arrayRows.empty()) flags |= kSupportArray;
    if (!parts.arrayRows.empty() && parts.encryptArray) flags |= kSupportArrayEncrypted;
    if (parts.flashRom) flags |= kSupportFlashRom;
    if (parts.flashRom && parts.encryptFlashRom) flags |= kSupportFlashRomEncrypted;
    for (size_t k = 0; k < kNvmBlockCount; ++k) {
        if (!parts.nvm[k].present) continue;
        flags |= static_cast<uint16_t>(kSupportNvm0 << k);
        if (parts.nvm[k].encrypted) {
            flags |= static_cast<uint16_t>(kSupportNvm0Encrypted << k);
        } else {
            flags |= kSupportNvmVerify;  // a plain block can be verified
        }
    }
    if (parts.userLock && parts.passKey) flags |= kSupportSecurity;
    if (parts.aesKey) flags |= kSupportAesKey;
    return flags;
}

bool BuildImage(const ImageParts& parts, std::vector<uint8_t>& image, std::string& error,
                const ImageCipher* cipher) {
    DeviceGeometry geometry;
    if (!GeometryForIdCode(parts.idCode, geometry)) {
        error = Format("ID code 0x%08lX matches no row of the identification table", parts.idCode);
        return false;
    }
    if (!CheckParts(parts, geometry, cipher, error)) return false;

    const std::vector<Block> blocks = ComposeBlocks(parts, geometry, cipher);
    if (blocks.size() > 0xFF) {
        error = "more than 255 directory entries";
        return false;
    }
    size_t size = kDirectoryPosition + kDirectoryEntrySize * blocks.size();
    for (const Block& block : blocks) size += block.data.size();
    size += kCrcSize;
    if (size > std::numeric_limits<uint32_t>::max()) {
        error = "the image would exceed 4 GiB";
        return false;
    }

    std::vector<uint8_t> out(size, 0);
    std::memcpy(out.data(), kProducerTag, sizeof kProducerTag);
    out[kDirectoryPositionOffset] = static_cast<uint8_t>(kDirectoryPosition);
    PutLe(&out[kImageSizeOffset], static_cast<uint32_t>(size), 4);
    out[kVariantMarkerOffset] = parts.variantMarker;
    PutLe(&out[kExpectedIdOffset], parts.idCode, 4);
    const uint16_t flags = DeriveSupportFlags(parts);
    for (size_t bit = 0; bit < kSupportByteCount; ++bit) out[kSupportBytesOffset + bit] = (flags >> bit) & 1;
    out[kDirectoryPosition - 1] = static_cast<uint8_t>(blocks.size());

    size_t next = kDirectoryPosition + kDirectoryEntrySize * blocks.size();
    for (size_t i = 0; i < blocks.size(); ++i) {
        uint8_t* entry = &out[kDirectoryPosition + kDirectoryEntrySize * i];
        const Block& block = blocks[i];
        entry[0] = block.id;
        if (block.absent) continue;
        PutLe(entry + 1, static_cast<uint32_t>(next), 4);
        PutLe(entry + 5, static_cast<uint32_t>(block.data.size()), 4);
        if (!block.data.empty()) std::memcpy(&out[next], block.data.data(), block.data.size());
        next += block.data.size();
    }
    PutLe(&out[size - kCrcSize], Crc16Kermit(out.data(), size - kCrcSize), kCrcSize);
    image = std::move(out);
    return true;
}

std::array<uint8_t, kDesignNameSize> DesignNameFromText(const std::string& text) {
    std::array<uint8_t, kDesignNameSize> name{};
    for (size_t i = 0; i < text.size() && i < kDesignNameSize; ++i) name[i] = static_cast<uint8_t>(text[i]);
    return name;
}

}  // namespace vexu::image
