// "program" and "verify" against the simulated board: what the device holds
// afterwards, the progress the window sees, and the reports each row costs.
#include <algorithm>
#include <numeric>

#include "sim_fixture.h"

namespace vexu::test {
namespace {

using image::DeviceGeometry;
using image::ImageParts;

class SimProgramTest : public SimEngineTest {
protected:
    // The device holds every part of the image "program" writes.
    void ExpectDeviceHolds(const ImageParts& parts, uint32_t cycleCount) {
        DeviceGeometry geometry;
        ASSERT_TRUE(image::GeometryForIdCode(parts.idCode, geometry));
        sim::FpgaModel& fpga = Fpga();
        const uint32_t rowBytes = geometry.PlainRowBytes();
        if (!parts.arrayRows.empty()) {
            size_t wrongRows = 0;
            for (uint32_t k = 0; k < geometry.arrayRowCount; ++k) {
                std::span<const uint8_t> row = fpga.ArrayRow(geometry.arrayRowCount - 1 - k);
                wrongRows += !std::equal(row.begin(), row.end(), parts.arrayRows.begin() + size_t{k} * rowBytes,
                                         parts.arrayRows.begin() + size_t{k + 1} * rowBytes);
            }
            EXPECT_EQ(wrongRows, 0u);
        }
        if (!parts.rlock.empty()) {
            EXPECT_TRUE(std::equal(fpga.Rlock().begin(), fpga.Rlock().end(), parts.rlock.begin(), parts.rlock.end()));
        }
        if (parts.flashRom) {
            for (unsigned page = 0; page < 8; ++page) {
                if (parts.flashRom->mask & (1u << page)) {
                    EXPECT_EQ(fpga.FlashRomPage(page), parts.flashRom->pages[page]) << page;
                }
            }
        }
        if (parts.silsig) {
            EXPECT_EQ(fpga.SiliconSignature(), *parts.silsig);
        }
        if (parts.passKey) {
            EXPECT_EQ(fpga.PassKey(), *parts.passKey);
        }
        const std::array<uint8_t, 16>& urow = fpga.Urow();
        if (parts.designName) {
            for (unsigned i = 0; i < 9; ++i) {
                EXPECT_EQ(urow[4 + i] & (i == 8 ? 0x3F : 0xFF), (*parts.designName)[i]) << i;
            }
        }
        if (parts.designChecksum) {
            EXPECT_EQ(urow[14] | urow[15] << 8, *parts.designChecksum);
        }
        EXPECT_EQ((urow[12] >> 6) | (urow[13] << 2), cycleCount);
        EXPECT_EQ(urow[3] & 0x40, 0x40);
    }

    void ExpectOneExit() { EXPECT_EQ(trace.Count("dp_exit() \r\n"), 1u); }
};

TEST_F(SimProgramTest, DemoImageProgramsAndVerifies) {
    Start();
    const ImageParts parts = image::DemoFpgaParts();
    Load(Build(parts));
    ASSERT_EQ(Run("program"), DPE_SUCCESS) << trace.Text().substr(0, 2000);
    ExpectOneExit();
    // A blank UROW reads cycle count 1023; one more programming cycle wraps to 1.
    ExpectDeviceHolds(parts, 1);
    EXPECT_EQ(Fpga().SecurityLockWord() & 0x3FFFFF, (*parts.userLock << 12) & 0x3FFFFF);
    EXPECT_EQ(Fpga().Counters().outsideProgrammingMode, 0u);
    EXPECT_EQ(Fpga().Counters().whileBusy, 0u);
    EXPECT_EQ(Fpga().Counters().oddLengthScans, 0u);
    EXPECT_EQ(sim->Box().Counters().violations, 0u);

    ASSERT_EQ(Run("verify"), DPE_SUCCESS) << trace.Text().substr(0, 2000);
    ExpectOneExit();
    ExpectDeviceHolds(parts, 1);
}

// Rows finished when a loop of the given span first posts percent.
uint32_t RowsAtPercent(uint32_t percent, uint32_t base, uint32_t divisor, uint32_t rows) {
    const uint64_t scaled = uint64_t{percent - base} * rows * divisor;
    return static_cast<uint32_t>((scaled + 99) / 100);
}

TEST_F(SimProgramTest, ProgressAndReportsPerRowOfThePlainLoops) {
    Start();
    Load(image::MakeDemoFpgaImage());
    ASSERT_EQ(Run("program"), DPE_SUCCESS);
    std::vector<uintptr_t> oneToNinetyNine(99);
    std::iota(oneToNinetyNine.begin(), oneToNinetyNine.end(), 1);
    EXPECT_EQ(ProgressPosts(), oneToNinetyNine);

    // Every row of a loop costs the same reports, so the reports between two
    // posts are the rows between them times the cost of one row: with the
    // device ready at the first poll, 6 to program and 13 to verify.
    const std::vector<TextWindow::Text> posts = ProgressTexts();
    const uint32_t rows = 1244;
    const auto perRow = [&](uint32_t from, uint32_t to, uint32_t base) {
        const uint64_t reports = posts[to - 1].reports - posts[from - 1].reports;
        const uint32_t rowCount = RowsAtPercent(to, base, 2, rows) - RowsAtPercent(from, base, 2, rows);
        EXPECT_EQ(reports % rowCount, 0u) << from << ".." << to;
        return reports / rowCount;
    };
    EXPECT_EQ(perRow(1, 49, 0), 6u);
    EXPECT_EQ(perRow(51, 99, 50), 13u);

    // A stand-alone verify moves within 50..99.
    ASSERT_EQ(Run("verify"), DPE_SUCCESS);
    EXPECT_EQ(ProgressPosts(), std::vector<uintptr_t>(oneToNinetyNine.begin() + 49, oneToNinetyNine.end()));
}

const image::Key128 kAesKey = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                                0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

TEST_F(SimProgramTest, EncryptedArrayAndFlashRom) {
    // The device takes encrypted array and FlashROM data (security bits 20
    // and 18) with its AES key; the image's lock bits keep both enabled
    // (register byte 0 bit 6 and byte 1 bit 0 of a class 1 device).
    Start("security=0x140000,aes-key=" + KeyHex(kAesKey));
    ImageParts parts = image::DemoFpgaParts();
    parts.encryptArray = true;
    parts.encryptFlashRom = true;
    parts.encryptionKey = kAesKey;
    parts.flashRom->mask = 0xA5;
    // The image carries no security settings: their erase would take the
    // device's AES key with it before the encrypted rows arrive.
    parts.userLock.reset();
    parts.passKey.reset();
    Load(Build(parts));
    const uint8_t code = Run("program");
    ASSERT_EQ(code, DPE_SUCCESS) << trace.Text().substr(0, 3000);
    ExpectDeviceHolds(parts, 1);
    EXPECT_EQ(Fpga().SecurityLockWord(), 0x140000u);
    EXPECT_EQ(Fpga().Counters().authFailures, 0u);
    // Authentication 0..33, programming 34..66, verify 67..99: each
    // percent once.
    std::vector<uintptr_t> oneToNinetyNine(99);
    std::iota(oneToNinetyNine.begin(), oneToNinetyNine.end(), 1);
    EXPECT_EQ(ProgressPosts(), oneToNinetyNine);
    EXPECT_LT(trace.Text().find("\r\nPerforming Data Authentication..."), trace.Text().find("\r\nErase..."));
    // Encrypted FlashROM pages are programmed but never compared.
    EXPECT_EQ(Fpga().Counters().flashRomCompares, 0u);

    ASSERT_EQ(Run("verify"), DPE_SUCCESS) << trace.Text().substr(0, 3000);
    EXPECT_EQ(ProgressPosts(), std::vector<uintptr_t>(oneToNinetyNine.begin() + 65, oneToNinetyNine.end()));
    EXPECT_FALSE(trace.Contains("\r\nVerifying FlashROM..."));
    EXPECT_EQ(Fpga().Counters().flashRomCompares, 0u);
    ExpectOneExit();
}

// Words that differ from word to word and from one segment to the next.
std::vector<uint32_t> Words(size_t count, uint32_t seed) {
    std::vector<uint32_t> words(count);
    for (size_t i = 0; i < count; ++i) words[i] = seed * 0x01000193u ^ static_cast<uint32_t>(i * 0x9E3779B1u);
    return words;
}

TEST_F(SimProgramTest, Class2DeviceWithPlainAndEncryptedNvmBlocks) {
    constexpr uint32_t kClass2Id = 0x032141CF;  // 2300 rows of factor 4, 56-bit security register
    // NVM block 3 takes encrypted data (security bit 11).
    Start("idcode=0x032141CF,security=0x800,aes-key=" + KeyHex(kAesKey));
    ImageParts parts;
    parts.idCode = kClass2Id;
    image::DeviceGeometry geometry;
    ASSERT_TRUE(image::GeometryForIdCode(kClass2Id, geometry));
    parts.arrayRows.resize(size_t{geometry.PlainRowBytes()} * geometry.arrayRowCount);
    for (size_t i = 0; i < parts.arrayRows.size(); ++i) parts.arrayRows[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    parts.rlock.assign(geometry.PlainRowBytes(), 0x3C);
    parts.silsig = 0x12345678;
    parts.designName = image::DesignNameFromText("CLASS2");
    parts.designChecksum = 0xBEEF;
    // Block 1 (device pages 1024..2047), plain: two pages, a segment
    // without words, one more page.
    parts.nvm[1].present = true;
    parts.nvm[1].segments = {{0x040000, 5, Words(64, 1)}, {0x040400, 2, {}}, {0x040800, 3, Words(32, 2)}};
    // Block 3 (pages 3072..4095), encrypted: two whole pages.
    parts.nvm[3].present = true;
    parts.nvm[3].encrypted = true;
    parts.nvm[3].segments = {{0x0C0000, 0, Words(64, 3)}};
    parts.encryptionKey = kAesKey;
    Load(Build(parts));
    ASSERT_EQ(Run("program"), DPE_SUCCESS) << trace.Text().substr(0, 3000);
    ExpectDeviceHolds(parts, 1);
    const std::string text = trace.Text();
    EXPECT_LT(text.find("\r\nProgramming SILSIG..."), text.find("\r\nProgramming NVM block 1"));
    EXPECT_LT(text.find("\r\nProgramming NVM block 1"), text.find("\r\nProgramming NVM block 3"));
    EXPECT_EQ(text.find("\r\nProgramming Security..."), std::string::npos);
    const auto expectWords = [&](unsigned block, uint32_t firstPage, const std::vector<uint32_t>& words) {
        for (size_t i = 0; i < words.size(); ++i)
            EXPECT_EQ(Fpga().NvmWord(block, firstPage + static_cast<uint32_t>(i / 32), i % 32), words[i])
                << "block " << block << " word " << i;
    };
    expectWords(1, 0, parts.nvm[1].segments[0].words);
    expectWords(1, 8, parts.nvm[1].segments[2].words);
    expectWords(3, 0, parts.nvm[3].segments[0].words);
    EXPECT_EQ(Fpga().NvmWord(1, 4, 0), 0xFFFFFFFFu);  // the segment without words

    // "verify" checks the plain block only.
    ASSERT_EQ(Run("verify"), DPE_SUCCESS) << trace.Text().substr(0, 3000);
    EXPECT_TRUE(Traced("\r\nVerifying NVM block 1"));
    EXPECT_FALSE(Traced("\r\nVerifying NVM block 3"));
    EXPECT_EQ(Run("verify_nvm"), DPE_SUCCESS);
    EXPECT_FALSE(Traced("\r\nVerifying NVM block 3"));
}

TEST_F(SimProgramTest, Class2SecuritySettingsAndDeviceInfo) {
    // A 56-bit register: lock bytes 0-2 (byte 1 bit 7 always programmed),
    // then the signature. "verify_device_info" then finds lock bits and
    // UROW as the image has them.
    Start("idcode=0x032141CF");
    ImageParts parts;
    parts.idCode = 0x032141CF;
    parts.silsig = 0xCAFEF00D;
    parts.designName = image::DesignNameFromText("SEC2");
    parts.designChecksum = 0x1234;
    parts.userLock = 0x000810;
    parts.passKey = kAesKey;
    Load(Build(parts));
    ASSERT_EQ(Run("program"), DPE_SUCCESS) << trace.Text();
    EXPECT_EQ(Fpga().SecurityLockWord(), 0x008810u);
    EXPECT_EQ(Fpga().SiliconSignature(), 0xCAFEF00Du);
    EXPECT_EQ(Fpga().PassKey(), kAesKey);
    ExpectDeviceHolds(parts, 1);
    EXPECT_EQ(Run("verify_device_info"), DPE_SUCCESS) << trace.Text();

    // Programming the same settings again needs the pass key, which the
    // image carries. Every programming cycle counts once, also one that
    // keeps the design name (the security erase).
    ASSERT_EQ(Run("program_security"), DPE_SUCCESS) << trace.Text();
    EXPECT_EQ(Fpga().SecurityLockWord(), 0x008810u);
    ExpectDeviceHolds(parts, 2);
    ASSERT_EQ(Run("program"), DPE_SUCCESS) << trace.Text();
    ExpectDeviceHolds(parts, 3);
}

TEST_F(SimProgramTest, APartialLastNvmPageIsProgrammedToo) {
    // The words of a segment past its last whole page are programmed as a
    // page of their own: the device holds every word of the image and a
    // verify of the block passes.
    Start("idcode=0x032141CF");
    ImageParts parts;
    parts.idCode = 0x032141CF;
    parts.silsig = 1;
    parts.nvm[0].present = true;
    parts.nvm[0].segments = {{0x000000, 1, Words(40, 7)}};
    Load(Build(parts));
    ASSERT_EQ(Run("program_nvm"), DPE_SUCCESS);
    for (unsigned word = 0; word < 40; ++word)
        EXPECT_EQ(Fpga().NvmWord(0, word / 32, word % 32), parts.nvm[0].segments[0].words[word]) << word;
    EXPECT_EQ(Fpga().Counters().nvmPagePrograms, 2u);
    EXPECT_EQ(Run("verify_nvm"), DPE_SUCCESS);
}

TEST_F(SimProgramTest, CycleCountWrapsAtItsTenBits) {
    struct Case {
        uint32_t before;
        uint32_t after;
    };
    // 1022 + 1 reads as 1023, which the count never holds: it becomes 0;
    // 1023 + 1 becomes 1.
    for (const Case c : {Case{1022, 0}, Case{1023, 1}, Case{5, 6}}) {
        std::string urow(32, 'F');
        const uint8_t byte12 = static_cast<uint8_t>(0x3F | (c.before & 3) << 6);
        const uint8_t byte13 = static_cast<uint8_t>(c.before >> 2);
        const char* digits = "0123456789ABCDEF";
        urow[24] = digits[byte12 >> 4];
        urow[25] = digits[byte12 & 15];
        urow[26] = digits[byte13 >> 4];
        urow[27] = digits[byte13 & 15];
        Start("urow=" + urow);
        // No array data: the erase and the UROW around it are what counts.
        ImageParts parts = image::DemoFpgaParts();
        parts.arrayRows.clear();
        parts.rlock.clear();
        Load(Build(parts));
        ASSERT_EQ(Run("program"), DPE_SUCCESS);
        ExpectDeviceHolds(parts, c.after);
    }
}

}  // namespace
}  // namespace vexu::test
