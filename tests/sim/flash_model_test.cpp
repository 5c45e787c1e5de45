// The serial flash chips on their own: instructions clocked straight into the
// model, time on a virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/clock.h"
#include "sim/spi_flash.h"

namespace vexu::sim {
namespace {

class FlashModel : public ::testing::Test {
protected:
    explicit FlashModel(const char* chip = "M25P20") : flash_(*FindFlashChip(chip)) {}

    // One chip-select cycle: sends in, then reads readCount bytes.
    std::vector<uint8_t> Frame(std::vector<uint8_t> in, size_t readCount = 0) {
        flash_.Select();
        for (uint8_t b : in) flash_.Transfer(b);
        std::vector<uint8_t> out;
        for (size_t i = 0; i < readCount; ++i) out.push_back(flash_.Transfer(0x00));
        flash_.Deselect();
        return out;
    }
    static std::vector<uint8_t> Addressed(uint8_t opcode, uint32_t address) {
        return {opcode, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                static_cast<uint8_t>(address)};
    }
    void WriteEnable() { Frame({kFlashWriteEnable}); }
    void Program(uint32_t address, const std::vector<uint8_t>& data) {
        std::vector<uint8_t> frame = Addressed(kFlashPageProgram, address);
        frame.insert(frame.end(), data.begin(), data.end());
        Frame(frame);
    }
    std::vector<uint8_t> Read(uint32_t address, size_t n) { return Frame(Addressed(kFlashRead, address), n); }
    uint8_t Status() { return Frame({kFlashReadStatus}, 1)[0]; }
    void FinishProgram() { clock_.Advance(flash_.Chip().pageProgramUs); }

    VirtualClock clock_;
    ScopedClock scoped_{clock_};
    SpiFlash flash_;
};

// What the board's chips answer, written down from their data sheets.
struct Identity {
    const char* chip;
    uint32_t size;
    uint8_t res;
    uint8_t rdid[3];
};

TEST(FlashChipTable, SignaturesAndSizesOfEveryChip) {
    VirtualClock clock;
    ScopedClock scoped(clock);
    const Identity kIdentities[] = {
        {"M25P20", 256 * 1024, 0x11, {0x20, 0x20, 0x12}},
        {"M25P40", 512 * 1024, 0x12, {0x20, 0x20, 0x13}},
        {"M25P80", 1024 * 1024, 0x13, {0x20, 0x20, 0x14}},
        {"TS25L80P", 1024 * 1024, 0x14, {0x20, 0x20, 0x14}},
    };
    for (const Identity& id : kIdentities) {
        SCOPED_TRACE(id.chip);
        const FlashChip* chip = FindFlashChip(id.chip);
        ASSERT_NE(chip, nullptr);
        SpiFlash flash(*chip);
        EXPECT_EQ(flash.Contents().size(), id.size);
        // RES: opcode, three dummy bytes, then the signature for as long as clocked.
        flash.Select();
        for (uint8_t b : {0xAB, 0x00, 0x00, 0x00}) flash.Transfer(b);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(flash.Transfer(0x00), id.res);
        flash.Deselect();
        flash.Select();
        flash.Transfer(0x9F);
        for (uint8_t expected : id.rdid) EXPECT_EQ(flash.Transfer(0x00), expected);
        flash.Deselect();
    }
    EXPECT_EQ(FindFlashChip("m25p80"), nullptr);
    EXPECT_EQ(FindFlashChip(""), nullptr);
}

TEST_F(FlashModel, ProgrammingOnlyClearsBits) {
    struct Case {
        uint8_t before;
        uint8_t programmed;
        uint8_t after;
    };
    const Case kCases[] = {{0xF0, 0x00, 0x00}, {0x0F, 0xF0, 0x00}, {0xFF, 0xA5, 0xA5}, {0x00, 0xFF, 0x00},
                           {0xF0, 0x3C, 0x30}};
    uint32_t address = 0x100;
    for (const Case& c : kCases) {
        flash_.MutableContents()[address] = c.before;
        WriteEnable();
        Program(address, {c.programmed});
        FinishProgram();
        EXPECT_EQ(Read(address, 1)[0], c.after) << std::hex << int(c.before) << " programmed with " << int(c.programmed);
        address += kFlashPageSize;
    }
}

TEST_F(FlashModel, PageProgramWithoutWriteEnableChangesNothing) {
    const std::vector<uint8_t> before = flash_.Contents();
    Program(0x000200, std::vector<uint8_t>(16, 0x00));
    EXPECT_EQ(Status(), 0x00);
    EXPECT_EQ(flash_.Contents(), before);
    EXPECT_EQ(flash_.ProgramCount(), 0u);
}

TEST_F(FlashModel, ProgramPastThePageEndWrapsToItsStart) {
    std::vector<uint8_t> data(32);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    WriteEnable();
    Program(0x0003F0, data);  // page 3, offset 0xF0
    FinishProgram();
    const std::vector<uint8_t> page = Read(0x000300, 256);
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(page[0xF0 + i], i);
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(page[i], 16 + i);
    EXPECT_EQ(Read(0x000400, 16), std::vector<uint8_t>(16, 0xFF)) << "the next page is untouched";
}

TEST_F(FlashModel, ProgramOfMoreThanAPageKeepsTheLast256Bytes) {
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    WriteEnable();
    Program(0x000500, data);
    FinishProgram();
    const std::vector<uint8_t> page = Read(0x000500, 256);
    for (size_t offset = 0; offset < 256; ++offset) {
        const size_t last = offset < 44 ? 256 + offset : offset;  // the last byte sent to this offset
        EXPECT_EQ(page[offset], data[last]) << "offset " << offset;
    }
}

TEST_F(FlashModel, SectorEraseSetsOnlyItsSectorToFF) {
    std::fill(flash_.MutableContents().begin(), flash_.MutableContents().end(), 0x00);
    WriteEnable();
    Frame(Addressed(kFlashSectorErase, 0x012345));
    EXPECT_EQ(Status(), kFlashStatusWip | kFlashStatusWel);
    clock_.Advance(flash_.Chip().sectorEraseUs);
    const std::vector<uint8_t>& memory = flash_.Contents();
    EXPECT_EQ(memory[0x00FFFF], 0x00);
    EXPECT_EQ(memory[0x020000], 0x00);
    for (uint32_t a = 0x010000; a < 0x020000; ++a) ASSERT_EQ(memory[a], 0xFF) << std::hex << a;
}

TEST_F(FlashModel, BulkEraseSetsTheWholeChipToFFAndNeedsItsExactFrame) {
    std::fill(flash_.MutableContents().begin(), flash_.MutableContents().end(), 0x00);
    Frame({kFlashBulkErase});
    EXPECT_EQ(flash_.EraseCount(), 0u) << "bulk erase without the latch";
    WriteEnable();
    Frame({kFlashBulkErase, 0x00});
    EXPECT_EQ(flash_.EraseCount(), 0u) << "bulk erase with a byte too many";
    Frame({kFlashBulkErase});
    EXPECT_EQ(flash_.EraseCount(), 1u);
    EXPECT_EQ(Status(), kFlashStatusWip | kFlashStatusWel);
    EXPECT_EQ(std::count(flash_.Contents().begin(), flash_.Contents().end(), 0xFF),
              static_cast<std::ptrdiff_t>(flash_.Chip().size));
}

// A worn cell: whichever erase reaches its page leaves bit 0 of the page's
// first byte at 0; programming cannot set it either.
TEST_F(FlashModel, EraseFailPageKeepsOneBitProgrammed) {
    flash_.SetEraseFailPage(0x210);  // in sector 2
    const uint32_t worn = 0x210 * kFlashPageSize;
    std::fill(flash_.MutableContents().begin(), flash_.MutableContents().end(), 0x00);
    WriteEnable();
    Frame(Addressed(kFlashSectorErase, 0x010000));
    clock_.Advance(flash_.Chip().sectorEraseUs);
    EXPECT_EQ(flash_.Contents()[worn], 0x00) << "another sector's erase leaves it alone";
    WriteEnable();
    Frame(Addressed(kFlashSectorErase, 0x020000));
    clock_.Advance(flash_.Chip().sectorEraseUs);
    EXPECT_EQ(flash_.Contents()[worn], 0xFE);
    EXPECT_EQ(flash_.Contents()[worn + 1], 0xFF);
    WriteEnable();
    Frame({kFlashBulkErase});
    clock_.Advance(flash_.Chip().bulkEraseUs);
    EXPECT_EQ(flash_.Contents()[worn], 0xFE);
    EXPECT_EQ(std::count(flash_.Contents().begin(), flash_.Contents().end(), 0xFF),
              static_cast<std::ptrdiff_t>(flash_.Chip().size - 1));
}

TEST_F(FlashModel, LatchAndEraseNeedExactFrames) {
    std::fill(flash_.MutableContents().begin(), flash_.MutableContents().end(), 0x00);
    Frame({kFlashWriteEnable, 0x00});
    EXPECT_EQ(Status(), 0x00) << "write enable with a byte too many";
    Frame(Addressed(kFlashSectorErase, 0));
    EXPECT_EQ(flash_.EraseCount(), 0u) << "erase without the latch";
    WriteEnable();
    std::vector<uint8_t> tooLong = Addressed(kFlashSectorErase, 0);
    tooLong.push_back(0);
    Frame(tooLong);
    EXPECT_EQ(flash_.EraseCount(), 0u) << "erase with a byte too many";
    EXPECT_EQ(Status(), kFlashStatusWel);
    Frame({kFlashWriteDisable});
    EXPECT_EQ(Status(), 0x00);
    EXPECT_EQ(flash_.Contents()[0], 0x00);
}

TEST_F(FlashModel, BusyBitsClearAfterTheModelledTime) {
    struct Case {
        const char* what;
        std::vector<uint8_t> frame;
        uint32_t us;
    };
    const Case kCases[] = {
        {"page program", {kFlashPageProgram, 0, 0, 0, 0x55}, flash_.Chip().pageProgramUs},
        {"sector erase", Addressed(kFlashSectorErase, 0x020000), flash_.Chip().sectorEraseUs},
        {"bulk erase", {kFlashBulkErase}, flash_.Chip().bulkEraseUs},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        WriteEnable();
        Frame(c.frame);
        EXPECT_EQ(Status(), kFlashStatusWip | kFlashStatusWel);
        clock_.Advance(c.us - 1);
        EXPECT_EQ(Status(), kFlashStatusWip | kFlashStatusWel);
        clock_.Advance(1);
        EXPECT_EQ(Status(), 0x00) << "WIP and WEL clear together at completion";
    }
}

TEST_F(FlashModel, OnlyReadStatusIsDecodedWhileBusy) {
    flash_.MutableContents()[0x30000] = 0x12;
    WriteEnable();
    Frame(Addressed(kFlashSectorErase, 0x000000));
    ASSERT_TRUE(flash_.Busy());
    EXPECT_EQ(Read(0x30000, 1)[0], 0xFF) << "READ not decoded";
    EXPECT_EQ(Frame({kFlashReadId}, 3), std::vector<uint8_t>(3, 0xFF)) << "RDID not decoded";
    EXPECT_EQ(Frame({kFlashReleaseSignature, 0, 0, 0}, 1)[0], 0xFF) << "RES not decoded";
    Program(0x30000, {0x00});  // WEL is still set: would program if decoded
    Frame(Addressed(kFlashSectorErase, 0x030000));
    EXPECT_EQ(Status(), kFlashStatusWip | kFlashStatusWel);
    clock_.Advance(flash_.Chip().sectorEraseUs);
    WriteEnable();  // decoded again now
    EXPECT_EQ(Status(), kFlashStatusWel);
    EXPECT_EQ(Read(0x30000, 1)[0], 0x12);
    EXPECT_EQ(flash_.ProgramCount(), 0u);
    EXPECT_EQ(flash_.EraseCount(), 1u);
}

TEST_F(FlashModel, StuckChipStaysBusy) {
    flash_.SetStuckBusy(true);
    WriteEnable();
    Program(0, {0x00});
    clock_.Advance(10'000'000);
    EXPECT_EQ(Status() & kFlashStatusWip, kFlashStatusWip);
}

TEST_F(FlashModel, BitErrorPageReadsBackWrongAfterProgramming) {
    flash_.SetBitErrorPage(2);
    for (uint32_t page : {1u, 2u}) {
        WriteEnable();
        Program(page * kFlashPageSize, std::vector<uint8_t>(256, 0x00));
        FinishProgram();
    }
    EXPECT_EQ(Read(1 * kFlashPageSize, 256), std::vector<uint8_t>(256, 0x00));
    std::vector<uint8_t> faulty = Read(2 * kFlashPageSize, 256);
    EXPECT_EQ(faulty[0], 0x01);
    EXPECT_EQ(std::vector<uint8_t>(faulty.begin() + 1, faulty.end()), std::vector<uint8_t>(255, 0x00));
}

TEST_F(FlashModel, ReadRunsOnAcrossPagesAndWrapsAtTheEndOfTheChip) {
    auto& memory = flash_.MutableContents();
    memory[0x3FFFF] = 0xAB;
    memory[0x00000] = 0xCD;
    EXPECT_EQ(Read(0x3FFFF, 2), (std::vector<uint8_t>{0xAB, 0xCD}));
}

}  // namespace
}  // namespace vexu::sim
