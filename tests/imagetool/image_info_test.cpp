// "image info" on good, truncated, corrupt and hostile images. Every input
// lives in a heap block of exactly its own size, so that the sanitizer build
// catches any read beyond it.
#include "tools/image/image_info.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/image/demo_images.h"
#include "tools/image/image_builder.h"
#include "tools/image/image_format.h"
#include "tracing_cipher.h"

namespace {

using namespace vexu::image;

struct Inspected {
    ImageInfo info;
    std::string text;
};

Inspected Inspect(const std::vector<uint8_t>& bytes, size_t length) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[length ? length : 1]);
    std::copy(bytes.begin(), bytes.begin() + length, exact.get());
    Inspected result{InspectImage(exact.get(), length), {}};
    result.text = FormatImageInfo(result.info, exact.get(), length);
    return result;
}

Inspected Inspect(const std::vector<uint8_t>& bytes) { return Inspect(bytes, bytes.size()); }

bool HasFinding(const ImageInfo& info, Severity severity, const std::string& fragment) {
    for (const Finding& finding : info.findings) {
        if (finding.severity == severity && finding.text.find(fragment) != std::string::npos) return true;
    }
    return false;
}

// Recomputes the CRC after a deliberate change, so that only the change shows.
void Reseal(std::vector<uint8_t>& image) {
    PutLe(&image[image.size() - 2], Crc16Kermit(image.data(), image.size() - 2), 2);
}

size_t EntryAt(const std::vector<uint8_t>& image, uint8_t id) {
    const size_t position = image[kDirectoryPositionOffset];
    for (size_t i = 0; i < image[position - 1]; ++i) {
        if (image[position + kDirectoryEntrySize * i] == id) return position + kDirectoryEntrySize * i;
    }
    ADD_FAILURE() << "no entry for block " << int(id);
    return 0;
}

// A small image with a bit of everything (no array rows, so that every
// truncation can be tried).
std::vector<uint8_t> SmallImage() {
    ImageParts parts;
    parts.idCode = 0x031921CF;
    parts.variantMarker = kVariantM7;
    parts.designName = DesignNameFromText("SMALL");
    parts.silsig = 0x12345678;
    parts.designChecksum = 0x4321;
    FlashRomParts flashRom;
    flashRom.mask = 0x81;
    parts.flashRom = flashRom;
    parts.userLock = 0x8000;
    parts.passKey = Key128{};
    parts.aesKey = Key128{9};
    parts.nvm[2] = {true, false, {{0x100, 3, {1, 2, 3, 4, 5}}, {0x200, 1, {6}}}};
    std::vector<uint8_t> image;
    std::string error;
    const TracingCipher cipher;
    EXPECT_TRUE(BuildImage(parts, image, error, &cipher)) << error;
    return image;
}

TEST(ImageInfoTest, DemoImageReadsCleanly) {
    const Inspected result = Inspect(MakeDemoFpgaImage());
    EXPECT_TRUE(result.info.findings.empty()) << result.text;
    EXPECT_TRUE(result.info.CrcOk());
    EXPECT_EQ(result.info.idTableRow, 8);
    EXPECT_EQ(result.info.supportFlags, kSupportArray | kSupportFlashRom | kSupportSecurity);
    ASSERT_EQ(result.info.directory.size(), 10u);
    EXPECT_EQ(result.info.directory[4].id, kBlockArrayRows);
    EXPECT_EQ(result.info.directory[4].recordedLength, 64688u);
    for (const char* expected :
         {"expected ID code   0x029121CF", "ID-table row 9", "row-width factor 2, 1244 rows, class 1",
          "support flags      0x0103: FPGA array, FlashROM, security settings", "FPGA array rows",
          "design name        VEXUDEMO1", "OK", "Findings           none"}) {
        EXPECT_NE(result.text.find(expected), std::string::npos) << expected << "\n" << result.text;
    }
}

TEST(ImageInfoTest, SmallImageReadsCleanly) {
    const Inspected result = Inspect(SmallImage());
    EXPECT_TRUE(result.info.findings.empty()) << result.text;
    EXPECT_NE(result.text.find("compiled for M7 devices"), std::string::npos);
    EXPECT_NE(result.text.find("NVM block 2        2 segments"), std::string::npos) << result.text;
    EXPECT_NE(result.text.find("user lock bits     0x008000"), std::string::npos) << result.text;
}

TEST(ImageInfoTest, HostileImagesGiveClearFindings) {
    const std::vector<uint8_t> demo = MakeDemoFpgaImage();
    const struct {
        const char* name;
        void (*change)(std::vector<uint8_t>&);
        Severity severity;
        const char* finding;
    } cases[] = {
        {"empty file", [](std::vector<uint8_t>& i) { i.clear(); }, Severity::kError, "empty"},
        {"cut inside the header", [](std::vector<uint8_t>& i) { i.resize(40); }, Severity::kError, "too short"},
        {"size field larger than the file",
         [](std::vector<uint8_t>& i) { PutLe(&i[kImageSizeOffset], 0xFFFFFFF0, 4); }, Severity::kError,
         "the file has only"},
        {"file cut short", [](std::vector<uint8_t>& i) { i.resize(i.size() / 2); }, Severity::kError,
         "the file has only"},
        {"bytes after the image",
         [](std::vector<uint8_t>& i) { i.insert(i.end(), 10, 0xEE); }, Severity::kWarning, "10 bytes after"},
        {"size field smaller than the header",
         [](std::vector<uint8_t>& i) { PutLe(&i[kImageSizeOffset], 20, 4); }, Severity::kError, "smaller than the header"},
        {"directory position 0", [](std::vector<uint8_t>& i) { i[kDirectoryPositionOffset] = 0; }, Severity::kError,
         "directory position 0"},
        {"directory beyond the end",
         [](std::vector<uint8_t>& i) {
             i[kDirectoryPositionOffset] = 250;
             PutLe(&i[kImageSizeOffset], 240, 4);
             i.resize(240);
             Reseal(i);
         },
         Severity::kError, "entry count at byte 249 lies beyond the end"},
        {"directory runs past the end",
         [](std::vector<uint8_t>& i) {
             i.resize(200);
             PutLe(&i[kImageSizeOffset], 200, 4);
             i[55] = 255;
             Reseal(i);
         },
         Severity::kError, "the directory runs past the end"},
        {"offset beyond the end",
         [](std::vector<uint8_t>& i) {
             PutLe(&i[EntryAt(i, kBlockRlock) + 1], 0xFFFFFF00, 4);
             Reseal(i);
         },
         Severity::kError,
         "block 6 (RLOCK row) runs past the end of the data file: it needs 52 bytes from byte 4294967040, 0 are "
         "there; the engine refuses program, program_array with code 153 before anything is sent"},
        {"offset into the CRC",
         [](std::vector<uint8_t>& i) {
             PutLe(&i[EntryAt(i, kBlockArrayRows) + 1], static_cast<uint32_t>(i.size() - 1), 4);
             Reseal(i);
         },
         Severity::kError,
         "block 5 (FPGA array rows) runs past the end of the data file: it needs 64688 bytes from byte 65096, 0 are "
         "there; the engine refuses program, verify, program_array, verify_array with code 153"},
        {"length field past the end",
         [](std::vector<uint8_t>& i) {
             PutLe(&i[EntryAt(i, kBlockUserLock) + 5], 0x7FFFFFFF, 4);
             Reseal(i);
         },
         Severity::kWarning, "runs past the end of the data"},
        {"offset into the header",
         [](std::vector<uint8_t>& i) {
             PutLe(&i[EntryAt(i, kBlockSilsig) + 1], 10, 4);
             Reseal(i);
         },
         Severity::kWarning, "points into the header or directory"},
        {"block offset 0",
         [](std::vector<uint8_t>& i) {
             PutLe(&i[EntryAt(i, kBlockSilsig) + 1], 0, 4);
             Reseal(i);
         },
         Severity::kNote, "block 3 (silicon signature) has offset 0 and reads as absent"},
        {"block offset 0 for a block the actions need",
         [](std::vector<uint8_t>& i) {
             PutLe(&i[EntryAt(i, kBlockRlock) + 1], 0, 4);
             Reseal(i);
         },
         Severity::kError,
         "block 6 (RLOCK row) is missing from the data file; the engine refuses program, program_array with code 151"},
        {"absent block the flags announce",
         [](std::vector<uint8_t>& i) {
             PutLe(&i[EntryAt(i, kBlockPassKey) + 1], 0, 4);
             Reseal(i);
         },
         Severity::kError,
         "block 29 (pass key) is missing from the data file; the engine refuses program, program_security with code "
         "151"},
        {"FlashROM mask past the end",
         [](std::vector<uint8_t>& i) {
             PutLe(&i[EntryAt(i, kBlockFlashRomMask) + 1], static_cast<uint32_t>(i.size() + 100), 4);
             Reseal(i);
         },
         Severity::kError,
         "block 7 (FlashROM page mask) runs past the end of the data file: it needs 1 byte from byte 65197, 0 are "
         "there; the engine refuses erase, program, verify, erase_from, program_from, verify_from with code 153"},
        {"block listed twice",
         [](std::vector<uint8_t>& i) {
             i[EntryAt(i, kBlockSilsig)] = kBlockDesignName;
             Reseal(i);
         },
         Severity::kNote, "block 1 (design name) is listed again at entry 2"},
        {"unknown expected ID",
         [](std::vector<uint8_t>& i) {
             PutLe(&i[kExpectedIdOffset], 0x12345678, 4);
             Reseal(i);
         },
         Severity::kError, "matches no row of the identification table"},
        {"corrupt byte", [](std::vector<uint8_t>& i) { i[1000] ^= 0x40; }, Severity::kError, "CRC mismatch"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> image = demo;
        c.change(image);
        const Inspected result = Inspect(image);
        EXPECT_TRUE(HasFinding(result.info, c.severity, c.finding)) << c.name << "\n" << result.text;
        EXPECT_EQ(result.info.HasErrors(), c.severity == Severity::kError) << c.name << "\n" << result.text;
    }
}

TEST(ImageInfoTest, CrcMismatchShowsBothValues) {
    std::vector<uint8_t> image = SmallImage();
    const uint16_t good = static_cast<uint16_t>(GetLe(&image[image.size() - 2], 2));
    PutLe(&image[image.size() - 2], good ^ 0xFFFF, 2);
    const Inspected result = Inspect(image);
    EXPECT_FALSE(result.info.CrcOk());
    EXPECT_EQ(result.info.crcComputed, good);
    char line[80];
    std::snprintf(line, sizeof line, "computed 0x%04X  stored 0x%04X  MISMATCH", good, good ^ 0xFFFF);
    EXPECT_NE(result.text.find(line), std::string::npos) << result.text;
}

TEST(ImageInfoTest, EveryTruncationIsReadWithinItsBytes) {
    const std::vector<uint8_t> image = SmallImage();
    for (size_t length = 0; length < image.size(); ++length) {
        const Inspected result = Inspect(image, length);
        ASSERT_TRUE(result.info.HasErrors()) << length << "\n" << result.text;
        ASSERT_FALSE(result.text.empty());
    }
    // The demo image at a spread of lengths, including around the directory.
    const std::vector<uint8_t> demo = MakeDemoFpgaImage();
    for (size_t length = 0; length < demo.size(); length += (length < 300 ? 1 : 997)) {
        ASSERT_TRUE(Inspect(demo, length).info.HasErrors()) << length;
    }
}

TEST(ImageInfoTest, ScrambledHeadersAndDirectoriesNeverReadOutOfBounds) {
    const std::vector<uint8_t> base = SmallImage();
    uint32_t state = 0x12345678;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    const size_t directoryEnd = base[kDirectoryPositionOffset] + kDirectoryEntrySize * base[55];
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> image = base;
        const int changes = 1 + next() % 6;
        for (int i = 0; i < changes; ++i) image[next() % directoryEnd] = static_cast<uint8_t>(next());
        image.resize(next() % (image.size() + 1));
        const Inspected result = Inspect(image);
        ASSERT_FALSE(result.text.empty());
    }
}

}  // namespace
