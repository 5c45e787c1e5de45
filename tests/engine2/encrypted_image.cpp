#include "encrypted_image.h"

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace vexu::test {

namespace {

using image::ImageParts;

void PutLe(std::vector<uint8_t>& bytes, uint32_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Fields of width bits, packed from bit 0 of byte 0 upward.
class Bits {
public:
    void Put(uint32_t value, unsigned width) {
        for (unsigned i = 0; i < width; ++i, ++count_) {
            if (count_ % 8 == 0) bytes_.push_back(0);
            if (value >> i & 1) bytes_.back() |= static_cast<uint8_t>(1u << (count_ % 8));
        }
    }
    std::vector<uint8_t> bytes_;

private:
    size_t count_ = 0;
};

void AddEncryptedNvm(size_t k, const image::NvmBlockParts& nvm, const sim::AesKey128& key,
                     std::vector<image::ExtraBlock>& extra) {
    std::vector<uint8_t> counts;
    std::vector<uint8_t> segments;
    Bits addresses;
    std::vector<uint8_t> frames;
    std::vector<uint8_t> trailers;
    PutLe(segments, static_cast<uint32_t>(nvm.segments.size()), 2);
    for (const image::NvmSegment& segment : nvm.segments) {
        PutLe(counts, static_cast<uint32_t>(segment.words.size()), 4);
        addresses.Put(segment.startAddress, image::kNvmAddressBits);
        // Only whole pages travel encrypted.
        for (size_t page = 0; page < segment.words.size() / 32; ++page) {
            std::array<uint8_t, sim::fpga_crypto::kNvmPageBytes> data{};
            for (size_t w = 0; w < 32; ++w)
                for (size_t b = 0; b < 4; ++b) data[4 * w + b] = static_cast<uint8_t>(segment.words[32 * page + w] >> (8 * b));
            const auto encrypted = sim::fpga_crypto::EncryptNvmPage(key, data);
            frames.insert(frames.end(), encrypted.begin(), encrypted.end());
            const uint16_t devicePage = static_cast<uint16_t>((segment.startAddress >> 8) + page);
            const auto trailer = sim::fpga_crypto::NvmPageTrailer(key, devicePage, data);
            trailers.insert(trailers.end(), trailer.begin(), trailer.end());
        }
    }
    const auto id = [k](image::NvmPart part) { return image::NvmBlockId(k, part); };
    extra.push_back({id(image::kNvmWordCounts), counts});
    extra.push_back({id(image::kNvmSegmentCount), segments});
    extra.push_back({id(image::kNvmStartAddresses), addresses.bytes_});
    extra.push_back({id(image::kNvmData), frames});
    extra.push_back({id(image::kNvmTrailer), trailers});
}

}  // namespace

std::vector<uint8_t> BuildEncryptedImage(const ImageParts& parts, const sim::AesKey128& key) {
    ImageParts plain = parts;
    plain.supportFlags = image::DeriveSupportFlags(parts);
    image::DeviceGeometry geometry;
    EXPECT_TRUE(image::GeometryForIdCode(parts.idCode, geometry));
    if (parts.encryptArray) {
        std::vector<uint8_t> rows;
        const size_t rowBytes = geometry.PlainRowBytes();
        for (size_t at = 0; at + rowBytes <= parts.arrayRows.size(); at += rowBytes) {
            const std::vector<uint8_t> row = sim::fpga_crypto::EncryptArrayRow(
                key, std::span<const uint8_t>(parts.arrayRows.data() + at, rowBytes));
            rows.insert(rows.end(), row.begin(), row.end());
        }
        plain.extraBlocks.push_back({image::kBlockArrayRows, rows});
        if (!parts.rlock.empty())
            plain.extraBlocks.push_back({image::kBlockRlock, sim::fpga_crypto::EncryptArrayRow(key, parts.rlock)});
        plain.arrayRows.clear();
        plain.rlock.clear();
        plain.encryptArray = false;
    }
    if (parts.encryptFlashRom && parts.flashRom) {
        std::vector<uint8_t> pages;
        for (uint8_t page = 0; page < 8; ++page) {
            if (!(parts.flashRom->mask & (1u << page))) continue;
            std::array<uint8_t, sim::fpga_crypto::kUnitBytes> unit{};
            EXPECT_TRUE(sim::fpga_crypto::EncryptFlashRomPage(key, page, parts.flashRom->pages[page], unit));
            pages.insert(pages.end(), unit.begin(), unit.end());
        }
        plain.extraBlocks.push_back({image::kBlockFlashRomMask, {parts.flashRom->mask}});
        plain.extraBlocks.push_back({image::kBlockFlashRomPages, pages});
        plain.flashRom.reset();
        plain.encryptFlashRom = false;
    }
    for (size_t k = 0; k < image::kNvmBlockCount; ++k) {
        if (!parts.nvm[k].present || !parts.nvm[k].encrypted) continue;
        AddEncryptedNvm(k, parts.nvm[k], key, plain.extraBlocks);
        plain.nvm[k] = {};
    }
    const auto check = sim::fpga_crypto::AesCheckBlock(key);
    plain.extraBlocks.push_back({image::kBlockAesCheck, {check.begin(), check.end()}});
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(image::BuildImage(plain, bytes, error)) << error;
    return bytes;
}

std::string KeyHex(const sim::AesKey128& key) {
    std::string hex;
    char digits[3];
    for (uint8_t byte : key) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        hex += digits;
    }
    return hex;
}

}  // namespace vexu::test
