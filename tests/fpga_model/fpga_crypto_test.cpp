// The encrypted data formats: known answers computed independently from the
// format description, round trips, and rejection of wrong keys and altered
// bits.
#include <gtest/gtest.h>

#include <numeric>

#include "sim/fpga_crypto.h"

namespace vexu::sim {
namespace {

using namespace fpga_crypto;

AesKey128 CountingKey() {
    AesKey128 key;
    std::iota(key.begin(), key.end(), 0);
    return key;
}

TEST(FpgaCrypto, KnownAnswersMatchTheDocumentedFormat) {
    // Reference values computed with another AES/CMAC implementation from
    // the formulas of fpga_crypto.h.
    AesKey128 key = CountingKey();
    std::array<uint8_t, 26> payload;
    std::iota(payload.begin(), payload.end(), 0x20);
    std::array<uint8_t, kUnitBytes> unit{};
    ASSERT_TRUE(SealUnit(key, kKindArrayChunk, 1, payload, unit));
    const std::array<uint8_t, kUnitBytes> expectedUnit = {
        0xB3, 0x78, 0x7E, 0x24, 0x9E, 0x8D, 0x4B, 0xB2, 0x0B, 0x21, 0xDF, 0x88, 0x6D, 0x5C, 0xA8, 0x39,
        0x0E, 0x4B, 0x86, 0x53, 0xFF, 0xDA, 0x5E, 0x8A, 0xC2, 0xFE, 0xA3, 0x60, 0x83, 0x60, 0x5F, 0x90};
    EXPECT_EQ(unit, expectedUnit);

    const std::array<uint8_t, 16> expectedCheck = {0xEF, 0xB2, 0x30, 0xDB, 0xF9, 0xFB, 0x4C, 0xA4,
                                                   0x6C, 0x48, 0xE6, 0x58, 0x82, 0x0B, 0x60, 0x43};
    EXPECT_EQ(AesCheckBlock(key), expectedCheck);

    std::array<uint8_t, kNvmPageBytes> data;
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    const std::array<uint8_t, 16> expectedTrailer = {0x0C, 0x68, 0x17, 0xEA, 0x60, 0x51, 0x81, 0xAE,
                                                     0x29, 0x0A, 0x2D, 0x05, 0x5E, 0x99, 0xCF, 0xBE};
    EXPECT_EQ(NvmPageTrailer(key, 0x0405, data), expectedTrailer);
}

TEST(FpgaCrypto, UnitsOpenOnlyWithTheirKeyKindIndexAndEveryBitIntact) {
    AesKey128 key = CountingKey();
    AesKey128 otherKey = key;
    otherKey[15] ^= 0x80;
    std::array<uint8_t, 17> payload;
    std::iota(payload.begin(), payload.end(), 1);
    std::array<uint8_t, kUnitBytes> unit{};
    ASSERT_TRUE(SealUnit(key, kKindFlashRom, 0, payload, unit));

    std::array<uint8_t, kUnitPayloadBytes> opened{};
    ASSERT_TRUE(OpenUnit(key, kKindFlashRom, 0, unit, opened));
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), opened.begin()));
    EXPECT_TRUE(std::all_of(opened.begin() + payload.size(), opened.end(),
                            [](uint8_t b) { return b == 0; }));

    EXPECT_FALSE(OpenUnit(otherKey, kKindFlashRom, 0, unit, opened));
    EXPECT_FALSE(OpenUnit(key, kKindNvmData, 0, unit, opened));
    EXPECT_FALSE(OpenUnit(key, kKindFlashRom, 1, unit, opened));
    for (size_t bit = 0; bit < unit.size() * 8; ++bit) {
        auto altered = unit;
        altered[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(OpenUnit(key, kKindFlashRom, 0, altered, opened)) << "bit " << bit;
    }

    std::array<uint8_t, 27> tooLong{};
    EXPECT_FALSE(SealUnit(key, kKindFlashRom, 0, tooLong, unit));
}

TEST(FpgaCrypto, ArrayRowsAreWholeChunksInChunkOrder) {
    AesKey128 key = CountingKey();
    std::vector<uint8_t> plain(3 * kArrayChunkBytes);
    std::iota(plain.begin(), plain.end(), 0);
    std::vector<uint8_t> row = EncryptArrayRow(key, plain);
    ASSERT_EQ(row.size(), 3 * kUnitBytes);
    for (size_t c = 0; c < 3; ++c) {
        std::array<uint8_t, kUnitPayloadBytes> chunk{};
        ASSERT_TRUE(OpenUnit(key, kKindArrayChunk, static_cast<uint8_t>(c),
                             std::span<const uint8_t, kUnitBytes>(row.data() + c * kUnitBytes,
                                                                  kUnitBytes),
                             chunk));
        EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), plain.begin() + c * kArrayChunkBytes));
    }
    EXPECT_TRUE(EncryptArrayRow(key, std::vector<uint8_t>(25)).empty());
    EXPECT_TRUE(EncryptArrayRow(key, {}).empty());
}

TEST(FpgaCrypto, NvmTrailerBindsPageNumberAndData) {
    AesKey128 key = CountingKey();
    std::array<uint8_t, kNvmPageBytes> data{};
    data[100] = 0x5A;
    auto trailer = NvmPageTrailer(key, 1027, data);
    uint16_t page = 0;
    ASSERT_TRUE(OpenNvmTrailer(key, trailer, data, page));
    EXPECT_EQ(page, 1027);

    auto otherData = data;
    otherData[0] ^= 1;
    EXPECT_FALSE(OpenNvmTrailer(key, trailer, otherData, page));
    AesKey128 otherKey = key;
    otherKey[0] ^= 1;
    EXPECT_FALSE(OpenNvmTrailer(otherKey, trailer, data, page));

    auto frames = EncryptNvmPage(key, data);
    std::array<uint8_t, kUnitPayloadBytes> chunk{};
    ASSERT_TRUE(OpenUnit(key, kKindNvmData, 6,
                         std::span<const uint8_t, kUnitBytes>(frames.data() + 6 * kUnitBytes,
                                                              kUnitBytes),
                         chunk));
    EXPECT_EQ(chunk[100 - 96], 0x5A);
}

TEST(FpgaCrypto, AesCheckBlockIsRecognisedOnlyUnderItsKey) {
    AesKey128 key = CountingKey();
    AesKey128 otherKey{};
    EXPECT_TRUE(IsAesCheckBlock(key, AesCheckBlock(key)));
    EXPECT_FALSE(IsAesCheckBlock(otherKey, AesCheckBlock(key)));
    EXPECT_FALSE(IsAesCheckBlock(key, kM7Challenge));
}

}  // namespace
}  // namespace vexu::sim
