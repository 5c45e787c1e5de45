#include "tools/image/image_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/image/demo_images.h"
#include "tools/image/image_format.h"
#include "tracing_cipher.h"

namespace {

using namespace vexu::image;

// Finds a block the way the programming engine does: walk the directory
// from the header's position and count, the first entry with the id wins,
// offset 0 means absent.
std::optional<size_t> BlockOffset(const std::vector<uint8_t>& image, uint8_t id) {
    const size_t position = image.at(kDirectoryPositionOffset);
    const size_t count = image.at(position - 1);
    for (size_t i = 0; i < count; ++i) {
        const size_t entry = position + kDirectoryEntrySize * i;
        if (image.at(entry) != id) continue;
        const uint32_t offset = GetLe(&image.at(entry + 1), 4);
        if (offset == 0) return std::nullopt;
        return offset;
    }
    return std::nullopt;
}

// The length the directory records for the first entry with the id.
uint32_t RecordedLength(const std::vector<uint8_t>& image, uint8_t id) {
    const size_t position = image.at(kDirectoryPositionOffset);
    for (size_t i = 0; i < image.at(position - 1); ++i) {
        const size_t entry = position + kDirectoryEntrySize * i;
        if (image.at(entry) == id) return GetLe(&image.at(entry + 5), 4);
    }
    return 0;
}

std::vector<uint8_t> BlockBytes(const std::vector<uint8_t>& image, uint8_t id, size_t count) {
    const std::optional<size_t> offset = BlockOffset(image, id);
    EXPECT_TRUE(offset.has_value()) << "block " << int(id);
    if (!offset || *offset + count > image.size()) return {};
    return std::vector<uint8_t>(image.begin() + *offset, image.begin() + *offset + count);
}

// A field of `bits` bits at bit position `bit` of a block, as the engine
// reads packed NVM fields (least significant bit first).
uint32_t BlockBits(const std::vector<uint8_t>& image, uint8_t id, size_t bit, size_t bits) {
    const size_t offset = *BlockOffset(image, id);
    uint32_t value = 0;
    for (size_t i = 0; i < bits; ++i) {
        const size_t b = bit + i;
        value |= static_cast<uint32_t>((image.at(offset + b / 8) >> (b % 8)) & 1) << i;
    }
    return value;
}

uint16_t SupportBytes(const std::vector<uint8_t>& image) {
    uint16_t flags = 0;
    for (size_t bit = 0; bit < kSupportByteCount; ++bit) {
        if (image.at(kSupportBytesOffset + bit)) flags |= static_cast<uint16_t>(1u << bit);
    }
    return flags;
}

std::vector<uint8_t> Build(const ImageParts& parts, const ImageCipher* cipher = DeviceCipher()) {
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_TRUE(BuildImage(parts, image, error, cipher)) << error;
    return image;
}

// A small class 2 device image without array data.
ImageParts SmallClass2Parts() {
    ImageParts parts;
    parts.idCode = 0x031921CF;  // class 2, factor 3
    parts.silsig = 0xCAFEF00D;
    parts.designName = DesignNameFromText("SMALL");
    parts.designChecksum = 0xBEEF;
    return parts;
}

TEST(Crc16KermitTest, MatchesTheCheckValue) {
    const char digits[] = "123456789";
    EXPECT_EQ(Crc16Kermit(reinterpret_cast<const uint8_t*>(digits), 9), 0x2189);
    EXPECT_EQ(Crc16Kermit(nullptr, 0), 0x0000);
}

TEST(ImageBuilderTest, DemoImageHeaderDirectoryAndCrc) {
    const ImageParts parts = DemoFpgaParts();
    const std::vector<uint8_t> image = Build(parts);
    ASSERT_GT(image.size(), 64688u);

    EXPECT_EQ(GetLe(&image[kImageSizeOffset], 4), image.size());
    EXPECT_EQ(GetLe(&image[kExpectedIdOffset], 4), 0x029121CFu);
    EXPECT_EQ(image[kVariantMarkerOffset], 0);
    EXPECT_EQ(SupportBytes(image), kSupportArray | kSupportFlashRom | kSupportSecurity);
    EXPECT_EQ(GetLe(&image[image.size() - 2], 2), Crc16Kermit(image.data(), image.size() - 2));

    // Every block where the engine will look for it, with the engine's sizes
    // for row 9 of the identification table (factor 2: 52-byte rows, 1244 rows).
    EXPECT_EQ(BlockBytes(image, kBlockArrayRows, 64688), parts.arrayRows);
    EXPECT_EQ(BlockBytes(image, kBlockRlock, 52), parts.rlock);
    EXPECT_EQ(BlockBytes(image, kBlockBoundaryScan, 47), parts.boundaryScan);
    EXPECT_EQ(BlockBytes(image, kBlockDesignName, 9), (std::vector<uint8_t>{'V', 'E', 'X', 'U', 'D', 'E', 'M', 'O', '1'}));
    EXPECT_EQ(BlockBytes(image, kBlockSilsig, 4), (std::vector<uint8_t>{'V', 'E', 'X', 'U'}));
    EXPECT_EQ(BlockBytes(image, kBlockUserLock, 2), (std::vector<uint8_t>{0x0C, 0x00}));
    EXPECT_EQ(BlockBytes(image, kBlockFlashRomMask, 1), (std::vector<uint8_t>{0xFF}));
    // Plain FlashROM pages go from page 7 down to page 0.
    const std::vector<uint8_t> pages = BlockBytes(image, kBlockFlashRomPages, 128);
    EXPECT_EQ(std::string(pages.begin(), pages.begin() + 16), "VEXU FROM PAGE 7");
    EXPECT_EQ(std::string(pages.end() - 16, pages.end()), "VEXU FROM PAGE 0");
    EXPECT_FALSE(BlockOffset(image, kBlockAesCheck).has_value());

    // Deterministic: the build embeds exactly this.
    EXPECT_EQ(MakeDemoFpgaImage(), image);
}

TEST(ImageBuilderTest, DemoImageRowsAreAllDifferent) {
    const ImageParts parts = DemoFpgaParts();
    std::set<std::string> rows;
    for (size_t row = 0; row < 1244; ++row) {
        rows.insert(std::string(parts.arrayRows.begin() + row * 52, parts.arrayRows.begin() + (row + 1) * 52));
    }
    EXPECT_EQ(rows.size(), 1244u);
}

TEST(ImageBuilderTest, DemoSerialFlashImageIsRecognisable) {
    const std::vector<uint8_t> image = MakeDemoEepromImage();
    ASSERT_EQ(image.size(), 262144u);
    EXPECT_EQ(std::string(image.begin(), image.begin() + 16), "Vexu page 0000\r\n");
    EXPECT_EQ(std::string(image.begin() + 0x3FF00, image.begin() + 0x3FF10), "Vexu page 03FF\r\n");
    // Every 256-byte page differs from every other, so a misplaced page shows.
    std::set<std::string> pages;
    for (size_t page = 0; page < 1024; ++page) {
        pages.insert(std::string(image.begin() + page * 256, image.begin() + (page + 1) * 256));
    }
    EXPECT_EQ(pages.size(), 1024u);
    EXPECT_EQ(MakeDemoEepromImage(), image);
}

TEST(ImageBuilderTest, SelectedFlashRomPagesOnlyInProgrammingOrder) {
    ImageParts parts = SmallClass2Parts();
    FlashRomParts flashRom;
    flashRom.mask = 0x05;
    for (size_t page = 0; page < 8; ++page) flashRom.pages[page].fill(static_cast<uint8_t>(0x10 * page + 1));
    parts.flashRom = flashRom;
    const std::vector<uint8_t> image = Build(parts);
    const std::vector<uint8_t> pages = BlockBytes(image, kBlockFlashRomPages, 32);
    EXPECT_EQ(pages[0], 0x21);   // page 2 first ...
    EXPECT_EQ(pages[16], 0x01);  // ... then page 0
    EXPECT_EQ(RecordedLength(image, kBlockFlashRomPages), 32u);  // the six unselected pages are not stored
    EXPECT_EQ(SupportBytes(image) & kSupportFlashRom, kSupportFlashRom);

    // A mask of 0 still carries the mask, but no pages.
    parts.flashRom->mask = 0;
    const std::vector<uint8_t> none = Build(parts);
    EXPECT_EQ(BlockBytes(none, kBlockFlashRomMask, 1), (std::vector<uint8_t>{0}));
    EXPECT_FALSE(BlockOffset(none, kBlockFlashRomPages).has_value());
}

TEST(ImageBuilderTest, NvmSegmentsArePackedAsTheEngineReadsThem) {
    ImageParts parts = SmallClass2Parts();
    NvmBlockParts nvm;
    nvm.present = true;
    nvm.segments.push_back({0x3FFFFF, 5, {0x11111111, 0x22222222}});
    nvm.segments.push_back({0x000100, 2, {}});
    NvmSegment big{0x2ABCDE, 7, {}};
    for (uint32_t w = 0; w < 33; ++w) big.words.push_back(0xA0000000 + w);
    nvm.segments.push_back(big);
    parts.nvm[1] = nvm;
    const std::vector<uint8_t> image = Build(parts);

    EXPECT_EQ(GetLe(BlockBytes(image, NvmBlockId(1, kNvmSegmentCount), 2).data(), 2), 3u);
    const std::vector<uint8_t> counts = BlockBytes(image, NvmBlockId(1, kNvmWordCounts), 12);
    EXPECT_EQ(GetLe(&counts[0], 4), 2u);
    EXPECT_EQ(GetLe(&counts[4], 4), 0u);
    EXPECT_EQ(GetLe(&counts[8], 4), 33u);
    const uint8_t addresses = NvmBlockId(1, kNvmStartAddresses);
    EXPECT_EQ(BlockBits(image, addresses, 0, 22), 0x3FFFFFu);
    EXPECT_EQ(BlockBits(image, addresses, 22, 22), 0x000100u);
    EXPECT_EQ(BlockBits(image, addresses, 44, 22), 0x2ABCDEu);
    const uint8_t values = NvmBlockId(1, kNvmTrailer);
    EXPECT_EQ(BlockBits(image, values, 0, 3), 5u);
    EXPECT_EQ(BlockBits(image, values, 3, 3), 2u);
    EXPECT_EQ(BlockBits(image, values, 6, 3), 7u);
    // Words across all segments in order, 32 bits each.
    const std::vector<uint8_t> words = BlockBytes(image, NvmBlockId(1, kNvmData), 35 * 4);
    EXPECT_EQ(GetLe(&words[0], 4), 0x11111111u);
    EXPECT_EQ(GetLe(&words[4], 4), 0x22222222u);
    EXPECT_EQ(GetLe(&words[8], 4), 0xA0000000u);
    EXPECT_EQ(GetLe(&words[34 * 4], 4), 0xA0000020u);

    EXPECT_EQ(SupportBytes(image), kSupportNvm0 << 1 | kSupportNvmVerify);
    EXPECT_FALSE(BlockOffset(image, NvmBlockId(0, kNvmSegmentCount)).has_value());
}

TEST(ImageBuilderTest, SupportFlagsFollowThePartsOrTheOverride) {
    ImageParts parts = SmallClass2Parts();
    EXPECT_EQ(DeriveSupportFlags(parts), 0);
    parts.userLock = 0x8000;
    parts.passKey = Key128{};
    parts.aesKey = Key128{1};
    EXPECT_EQ(DeriveSupportFlags(parts), kSupportSecurity | kSupportAesKey);
    const TracingCipher cipher;
    const std::vector<uint8_t> image = Build(parts, &cipher);
    EXPECT_EQ(BlockBytes(image, kBlockUserLock, 3), (std::vector<uint8_t>{0x00, 0x80, 0x00}));  // 3 bytes on class 2

    parts.supportFlags = 0x8001;
    const std::vector<uint8_t> overridden = Build(parts, &cipher);
    EXPECT_EQ(SupportBytes(overridden), 0x8001);
}

TEST(ImageBuilderTest, ExtraBlocksMakeUnusualDirectories) {
    ImageParts parts = SmallClass2Parts();
    parts.extraBlocks.push_back({kBlockSilsig, {1, 2, 3, 4}, false, true});  // listed before the real one
    parts.extraBlocks.push_back({kBlockAesCheck, {}, true, false});           // offset 0
    const std::vector<uint8_t> image = Build(parts);
    EXPECT_EQ(BlockBytes(image, kBlockSilsig, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_FALSE(BlockOffset(image, kBlockAesCheck).has_value());
    EXPECT_EQ(image[55], 5);  // silsig twice, design name, checksum, AES check
}

TEST(ImageBuilderTest, PartsThatDoNotFitTheDeviceAreRefused) {
    const struct {
        const char* name;
        void (*change)(ImageParts&);
        const char* reason;
    } cases[] = {
        {"unknown ID code", [](ImageParts& p) { p.idCode = 0x12345678; }, "identification table"},
        {"array a row short", [](ImageParts& p) { p.arrayRows.resize(p.arrayRows.size() - 52); }, "array data"},
        {"RLOCK too long", [](ImageParts& p) { p.rlock.push_back(0); }, "RLOCK"},
        {"boundary scan too short", [](ImageParts& p) { p.boundaryScan.pop_back(); }, "boundary-scan"},
        {"name byte 8 with cycle-count bits", [](ImageParts& p) { (*p.designName)[8] = 'A'; }, "byte 8"},
        {"lock bits without pass key", [](ImageParts& p) { p.passKey.reset(); }, "pass key"},
        {"3 lock bytes on class 1", [](ImageParts& p) { p.userLock = 0x10000; }, "class 1"},
        {"22-bit NVM address", [](ImageParts& p) { p.nvm[0] = {true, false, {{0x400000, 0, {}}}}; }, "22 bits"},
        {"3-bit page value", [](ImageParts& p) { p.nvm[3] = {true, false, {{0, 8, {}}}}; }, "3 bits"},
        {"header as extra block", [](ImageParts& p) { p.extraBlocks.push_back({0, {1}, false, false}); }, "header"},
    };
    for (const auto& c : cases) {
        ImageParts parts = DemoFpgaParts();
        c.change(parts);
        std::vector<uint8_t> image = {0xAA};
        std::string error;
        EXPECT_FALSE(BuildImage(parts, image, error)) << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(image, std::vector<uint8_t>{0xAA}) << c.name;
    }
}

}  // namespace

namespace {

Key128 KeyOf(uint8_t first) {
    Key128 key{};
    key[0] = first;
    return key;
}

TEST(ImageBuilderEncryptionTest, ArrayRowsAndRlockAreEncryptedRowByRow) {
    const TracingCipher cipher;
    ImageParts parts = DemoFpgaParts();
    parts.encryptArray = true;
    parts.encryptionKey = KeyOf(0x77);  // held by the device, not programmed by this image
    parts.userLock.reset();             // the device keeps its own security settings
    parts.passKey.reset();
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(BuildImage(parts, image, error, &cipher)) << error;

    EXPECT_EQ(SupportBytes(image), kSupportArray | kSupportArrayEncrypted | kSupportFlashRom);
    EXPECT_EQ(RecordedLength(image, kBlockArrayRows), 1244u * 64);  // factor 2: 2 x 32 bytes per row
    const std::vector<uint8_t> rows = BlockBytes(image, kBlockArrayRows, 1244 * 64);
    for (size_t row : {size_t{0}, size_t{1}, size_t{1243}}) {
        // Row r of the image is plain row r, chunk by chunk.
        EXPECT_TRUE(std::equal(rows.begin() + row * 64, rows.begin() + row * 64 + 26,
                               parts.arrayRows.begin() + row * 52)) << row;
        EXPECT_TRUE(std::equal(rows.begin() + row * 64 + 32, rows.begin() + row * 64 + 58,
                               parts.arrayRows.begin() + row * 52 + 26)) << row;
        EXPECT_EQ(rows[row * 64 + 29], 0x77);
    }
    EXPECT_EQ(RecordedLength(image, kBlockRlock), 64u);
    const Key128 check = cipher.AesCheckBlock(KeyOf(0x77));
    EXPECT_EQ(BlockBytes(image, kBlockAesCheck, 16), std::vector<uint8_t>(check.begin(), check.end()));
    EXPECT_FALSE(BlockOffset(image, kBlockAesKey).has_value());
}

TEST(ImageBuilderEncryptionTest, EncryptedFlashRomPagesRiseFromPageZero) {
    const TracingCipher cipher;
    ImageParts parts = SmallClass2Parts();
    FlashRomParts flashRom;
    flashRom.mask = 0x05;
    for (size_t page = 0; page < 8; ++page) flashRom.pages[page].fill(static_cast<uint8_t>(0x10 * page + 1));
    parts.flashRom = flashRom;
    parts.encryptFlashRom = true;
    parts.aesKey = KeyOf(0x42);  // programmed by the image and used for the encryption
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(BuildImage(parts, image, error, &cipher)) << error;
    EXPECT_EQ(SupportBytes(image), kSupportFlashRom | kSupportFlashRomEncrypted | kSupportAesKey);
    const std::vector<uint8_t> pages = BlockBytes(image, kBlockFlashRomPages, 64);
    EXPECT_EQ(RecordedLength(image, kBlockFlashRomPages), 64u);
    EXPECT_EQ(pages[0], 0);      // page 0 first ...
    EXPECT_EQ(pages[1], 0x01);
    EXPECT_EQ(pages[32], 2);     // ... then page 2
    EXPECT_EQ(pages[33], 0x21);
    EXPECT_EQ(pages[31], 0x42);
    EXPECT_EQ(BlockBytes(image, kBlockAesKey, 1), std::vector<uint8_t>{0x42});
    EXPECT_TRUE(BlockOffset(image, kBlockAesCheck).has_value());
}

TEST(ImageBuilderEncryptionTest, EncryptedNvmPagesCarryFramesAndOneTrailerEach) {
    const TracingCipher cipher;
    ImageParts parts = SmallClass2Parts();
    parts.encryptionKey = KeyOf(0x33);
    NvmSegment segment{0x001200, 0, {}};
    for (uint32_t w = 0; w < 64; ++w) segment.words.push_back(0xB0000000 + w);
    parts.nvm[3] = {true, true, {segment, {0x002000, 0, {}}}};
    parts.nvm[1] = {true, false, {{0x000400, 1, {7}}}};
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(BuildImage(parts, image, error, &cipher)) << error;

    EXPECT_EQ(SupportBytes(image), (kSupportNvm0 << 1) | (kSupportNvm0 << 3) | (kSupportNvm0Encrypted << 3) |
                                       kSupportNvmVerify);
    const std::vector<uint8_t> counts = BlockBytes(image, NvmBlockId(3, kNvmWordCounts), 8);
    EXPECT_EQ(GetLe(&counts[0], 4), 64u);
    EXPECT_EQ(RecordedLength(image, NvmBlockId(3, kNvmData)), 2u * 256);
    const std::vector<uint8_t> data = BlockBytes(image, NvmBlockId(3, kNvmData), 512);
    EXPECT_EQ(GetLe(&data[0], 4), 0xB0000000u);
    EXPECT_EQ(GetLe(&data[256], 4), 0xB0000020u);  // second page starts with word 32
    EXPECT_EQ(RecordedLength(image, NvmBlockId(3, kNvmTrailer)), 32u);
    const std::vector<uint8_t> trailers = BlockBytes(image, NvmBlockId(3, kNvmTrailer), 32);
    EXPECT_EQ(GetLe(&trailers[3], 2), 0x12u);  // device-wide page of byte address 0x1200
    EXPECT_EQ(GetLe(&trailers[19], 2), 0x13u);
    EXPECT_EQ(trailers[5], 0x33);
}

TEST(ImageBuilderEncryptionTest, EncryptionNeedsACipherAKeyAndWholeNvmPages) {
    const TracingCipher cipher;
    const struct {
        const char* name;
        void (*change)(ImageParts&);
        bool withCipher;
        const char* reason;
    } cases[] = {
        {"no cipher", [](ImageParts& p) { p.encryptArray = true; p.aesKey = KeyOf(1); }, false, "device cipher"},
        {"AES key without cipher", [](ImageParts& p) { p.aesKey = KeyOf(1); }, false, "device cipher"},
        {"no key", [](ImageParts& p) { p.encryptArray = true; }, true, "AES key"},
        // "program" would erase the key with the security settings before
        // the encrypted rows arrive.
        {"encrypted array with security settings",
         [](ImageParts& p) {
             p.encryptArray = true;
             p.encryptionKey = KeyOf(1);
         },
         true, "cannot go with security settings"},
        {"encrypted NVM block with security settings",
         [](ImageParts& p) {
             p.encryptionKey = KeyOf(1);
             p.nvm[0] = {true, true, {{0, 0, std::vector<uint32_t>(32)}}};
         },
         true, "cannot go with security settings"},
        {"partial NVM page",
         [](ImageParts& p) {
             p.encryptionKey = KeyOf(1);
             p.userLock.reset();
             p.passKey.reset();
             p.nvm[0] = {true, true, {{0, 0, std::vector<uint32_t>(33)}}};
         },
         true, "whole pages"},
    };
    for (const auto& c : cases) {
        ImageParts parts = DemoFpgaParts();
        c.change(parts);
        std::vector<uint8_t> image;
        std::string error;
        EXPECT_FALSE(BuildImage(parts, image, error, c.withCipher ? &cipher : nullptr)) << c.name;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    }
}

}  // namespace
