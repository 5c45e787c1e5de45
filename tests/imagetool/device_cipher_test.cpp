// Encrypted images built with the device cipher open on the simulated
// FPGA's side with the device's key, and fail with any other key.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "sim/fpga_crypto.h"
#include "tools/image/demo_images.h"
#include "tools/image/image_builder.h"
#include "tools/image/image_info.h"

namespace {

using namespace vexu::image;
namespace crypto = vexu::sim::fpga_crypto;

const Key128 kDeviceKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                           0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};
const Key128 kOtherKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                          0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3D};

// The first directory entry with the id (the builder's images are well formed).
const uint8_t* Block(const std::vector<uint8_t>& image, uint8_t id) {
    const size_t position = image[kDirectoryPositionOffset];
    for (size_t i = 0; i < image[position - 1]; ++i) {
        const size_t entry = position + kDirectoryEntrySize * i;
        if (image[entry] == id) return &image[GetLe(&image[entry + 1], 4)];
    }
    return nullptr;
}

bool Open(const Key128& key, uint8_t kind, uint8_t index, const uint8_t* unit, uint8_t* payload) {
    return crypto::OpenUnit(key, kind, index, std::span<const uint8_t, crypto::kUnitBytes>(unit, crypto::kUnitBytes),
                            std::span<uint8_t, crypto::kUnitPayloadBytes>(payload, crypto::kUnitPayloadBytes));
}

TEST(DeviceCipherTest, EncryptedArrayAndRlockOpenWithTheDeviceKeyOnly) {
    ImageParts parts = DemoFpgaParts();
    parts.encryptArray = true;
    parts.encryptionKey = kDeviceKey;
    parts.userLock.reset();
    parts.passKey.reset();
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(BuildImage(parts, image, error)) << error;
    EXPECT_TRUE(InspectImage(image.data(), image.size()).findings.empty());

    const uint8_t* rows = Block(image, kBlockArrayRows);
    ASSERT_NE(rows, nullptr);
    for (size_t row : {size_t{0}, size_t{617}, size_t{1243}}) {
        for (uint8_t chunk = 0; chunk < 2; ++chunk) {
            uint8_t payload[crypto::kUnitPayloadBytes];
            ASSERT_TRUE(Open(kDeviceKey, crypto::kKindArrayChunk, chunk, rows + row * 64 + chunk * 32, payload));
            EXPECT_TRUE(std::equal(payload, payload + 26, parts.arrayRows.begin() + row * 52 + chunk * 26)) << row;
            EXPECT_FALSE(Open(kOtherKey, crypto::kKindArrayChunk, chunk, rows + row * 64 + chunk * 32, payload));
        }
    }
    uint8_t payload[crypto::kUnitPayloadBytes];
    ASSERT_TRUE(Open(kDeviceKey, crypto::kKindArrayChunk, 1, Block(image, kBlockRlock) + 32, payload));
    EXPECT_TRUE(std::equal(payload, payload + 26, parts.rlock.begin() + 26));

    const std::span<const uint8_t, 16> check(Block(image, kBlockAesCheck), 16);
    EXPECT_TRUE(crypto::IsAesCheckBlock(kDeviceKey, check));
    EXPECT_FALSE(crypto::IsAesCheckBlock(kOtherKey, check));
}

TEST(DeviceCipherTest, EncryptedFlashRomPagesNameTheirPage) {
    ImageParts parts = DemoFpgaParts();
    parts.flashRom->mask = 0x84;
    parts.encryptFlashRom = true;
    parts.aesKey = kDeviceKey;
    parts.userLock.reset();
    parts.passKey.reset();
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(BuildImage(parts, image, error)) << error;
    const uint8_t* pages = Block(image, kBlockFlashRomPages);
    const uint8_t expectedPages[] = {2, 7};  // rising page order
    for (size_t i = 0; i < 2; ++i) {
        uint8_t payload[crypto::kUnitPayloadBytes];
        ASSERT_TRUE(Open(kDeviceKey, crypto::kKindFlashRom, 0, pages + 32 * i, payload));
        EXPECT_EQ(payload[0], expectedPages[i]);
        EXPECT_EQ(std::string(payload + 1, payload + 17), "VEXU FROM PAGE " + std::to_string(expectedPages[i]));
    }
}

TEST(DeviceCipherTest, EncryptedNvmPagesOpenAndTheirTrailersNameThePage) {
    ImageParts parts;
    parts.idCode = 0x032141CF;  // class 2
    parts.encryptionKey = kDeviceKey;
    NvmSegment segment{1027u << 8, 0, {}};  // device-wide page 1027: NVM block 1 begins at page 1024
    for (uint32_t w = 0; w < 64; ++w) segment.words.push_back(0xC0DE0000 + w);
    parts.nvm[1] = {true, true, {segment}};
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(BuildImage(parts, image, error)) << error;

    const uint8_t* frames = Block(image, NvmBlockId(1, kNvmData));
    const uint8_t* trailers = Block(image, NvmBlockId(1, kNvmTrailer));
    for (uint16_t page = 0; page < 2; ++page) {
        uint8_t plain[crypto::kNvmPageBytes];
        for (uint8_t unit = 0; unit < crypto::kNvmUnitsPerPage; ++unit) {
            uint8_t payload[crypto::kUnitPayloadBytes];
            ASSERT_TRUE(Open(kDeviceKey, crypto::kKindNvmData, unit, frames + page * 256 + unit * 32, payload));
            std::copy(payload, payload + 16, plain + unit * 16);
        }
        EXPECT_EQ(GetLe(plain, 4), 0xC0DE0000u + 32 * page);
        uint16_t named = 0;
        EXPECT_TRUE(crypto::OpenNvmTrailer(kDeviceKey, std::span<const uint8_t, 16>(trailers + 16 * page, 16),
                                           std::span<const uint8_t, crypto::kNvmPageBytes>(plain), named));
        EXPECT_EQ(named, 1027 + page);
        EXPECT_FALSE(crypto::OpenNvmTrailer(kOtherKey, std::span<const uint8_t, 16>(trailers + 16 * page, 16),
                                            std::span<const uint8_t, crypto::kNvmPageBytes>(plain), named));
    }
}

}  // namespace
