// The chip table checked against itself, against the first boards' chip
// classes, and against the SFDP tables the simulator serves from its rows:
// a row that contradicts another, its datasheet's SFDP table or its own
// protection bits shows here.
#include <gtest/gtest.h>

#include <bit>
#include <set>
#include <string>
#include <tuple>

#include "flash/chip_table.h"
#include "flash/flash_chips.h"
#include "flash/sfdp.h"
#include "sim/spi_flash.h"

namespace {

constexpr uint32_t kMiB = 1024 * 1024;

TEST(FlashChipTable, RowsAgreeWithEachOtherAndWithTheFirstBoardsChips) {
    std::set<std::string> names;
    std::set<std::tuple<uint8_t, uint8_t, uint8_t>> ids;
    uint8_t lastMaker = 0;
    for (const FlashPart& part : FlashParts()) {
        SCOPED_TRACE(part.name);
        EXPECT_TRUE(names.insert(part.name).second) << "name twice";
        if (part.driver == FlashDriver::kJedec) {
            EXPECT_TRUE(ids.insert({part.maker, part.type, part.capacity}).second) << "JEDEC ID twice";
            EXPECT_EQ(part.signature, 0) << "only the first boards' chips are found by their signature";
            EXPECT_EQ(FindFlashPartById(part.maker, part.type, part.capacity), &part);
            EXPECT_GE(part.maker, lastMaker) << "rows are sorted by maker";
            lastMaker = part.maker;
        }
        EXPECT_TRUE(std::has_single_bit(part.size));
        EXPECT_TRUE(std::has_single_bit(part.pageSize));
        EXPECT_EQ(part.addressBytes, part.size > 16 * kMiB ? 4 : 3) << "four address bytes exactly above 16 MiB";
        uint32_t previous = 0;
        for (const FlashErase& erase : part.erase) {
            if (!erase.size) continue;
            EXPECT_GT(erase.size, previous) << "erase types smallest first";
            EXPECT_TRUE(std::has_single_bit(erase.size));
            EXPECT_EQ(erase.size % part.pageSize, 0u);
            EXPECT_EQ(part.size % erase.size, 0u);
            EXPECT_GT(erase.ms.typical, 0u);
            EXPECT_GE(erase.ms.max, erase.ms.typical);
            if (part.addressBytes == 4) EXPECT_NE(erase.opcode4, 0) << "a four-byte erase for every type";
            previous = erase.size;
        }
        EXPECT_GT(previous, 0u) << "at least one erase type";
        EXPECT_GT(part.programUs.typical, 0u);
        EXPECT_GE(part.programUs.max, part.programUs.typical);
        EXPECT_GE(part.chipEraseMs.max, part.chipEraseMs.typical);
        EXPECT_GE(part.statusWriteMs.max, part.statusWriteMs.typical);
        EXPECT_GT(part.protect.count, 0);
        EXPECT_LE(part.protect.unit, part.size);
        EXPECT_EQ(ProtectedBytes(part, ProtectMask(part)).length, part.size) << "every BP bit protects the whole chip";
        if (part.sectorLocks) EXPECT_EQ(part.size % kLockSectorSize, 0u);
    }
    // The first boards' chips: the rows their classes take and the chip
    // table say the same.
    for (const SerialFlashChip& chip : SerialFlashChips()) {
        const SerialFlashGeometry& g = chip.geometry;
        SCOPED_TRACE(g.name);
        const FlashPart* part = FindFlashPart(g.name);
        ASSERT_NE(part, nullptr);
        EXPECT_NE(part->driver, FlashDriver::kJedec);
        EXPECT_EQ(part->size, static_cast<uint32_t>(g.memorySize));
        EXPECT_EQ(part->pageSize, static_cast<uint32_t>(g.pageSize));
        EXPECT_EQ(LargestErase(*part).size, static_cast<uint32_t>(g.sectorSize));
        EXPECT_EQ(part->chipEraseMs.typical, g.bulkEraseTypicalMs);
        EXPECT_EQ(part->chipEraseMs.max, g.bulkEraseMaxMs);
        EXPECT_EQ(part->driver == FlashDriver::kStLegacy ? part->signature : part->maker, g.signature[0]);
    }
}

TEST(FlashChipTable, EverySfdpTableReadsBackAsItsRowAndAMismatchNamesBothValues) {
    auto reader = [](const std::vector<uint8_t>& image) {
        return [&image](uint32_t address, uint8_t* out, uint32_t length) {
            for (uint32_t i = 0; i < length; ++i) out[i] = address + i < image.size() ? image[address + i] : 0xFF;
            return true;
        };
    };
    for (const FlashPart& part : FlashParts()) {
        SCOPED_TRACE(part.name);
        const std::vector<uint8_t> image = vexu::sim::SfdpImage(part);
        SfdpParameters sfdp;
        std::string error;
        if (!part.sfdp) {
            EXPECT_TRUE(image.empty());
            continue;
        }
        ASSERT_TRUE(ReadSfdp(reader(image), sfdp, error)) << error;
        EXPECT_EQ(CompareSfdp(sfdp, part), "");
        // Times come back within the coarse units the table keeps them in.
        EXPECT_GE(sfdp.programUs.typical, part.programUs.typical);
        EXPECT_LT(sfdp.programUs.typical, part.programUs.typical * 2 + 64);
        const FlashPart fromSfdp = PartFromSfdp(sfdp, "x", part.maker, part.type, part.capacity);
        EXPECT_EQ(CompareSfdp(sfdp, fromSfdp), "") << "a row made from a table agrees with it";
        EXPECT_EQ(fromSfdp.addressBytes, part.addressBytes);
    }

    struct Case {
        const char* row;
        const char* sfdpOf;
        void (*change)(FlashPart&);  // a changed copy of sfdpOf's row serves the table
        const char* mismatch;
    };
    const Case cases[] = {
        {"W25Q128JV", "W25Q64JV", nullptr, "size 8388608 bytes in its SFDP, 16777216 bytes in the chip table"},
        {"W25Q16JV", "S25FL116K", nullptr,
         "erase types 4 KiB 0x20, 64 KiB 0xD8 in its SFDP, 4 KiB 0x20, 32 KiB 0x52, 64 KiB 0xD8 in the chip table"},
        {"W25Q256JV", "W25Q256JV", [](FlashPart& p) { p.addressBytes = 3; },
         "address bytes 3 in its SFDP, 4 in the chip table"},
        {"W25Q64JV", "W25Q64JV", [](FlashPart& p) { p.pageSize = 512; },
         "page size 512 bytes in its SFDP, 256 bytes in the chip table"},
        {"GD25Q64C", "GD25Q64C", [](FlashPart& p) { p.erase[0].opcode = 0xD7; },
         "erase types 4 KiB 0xD7, 32 KiB 0x52, 64 KiB 0xD8 in its SFDP, 4 KiB 0x20, 32 KiB 0x52, 64 KiB 0xD8 in the "
         "chip table"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row);
        FlashPart served = *FindFlashPart(c.sfdpOf);
        if (c.change) c.change(served);
        const std::vector<uint8_t> image = vexu::sim::SfdpImage(served);
        SfdpParameters sfdp;
        std::string error;
        ASSERT_TRUE(ReadSfdp(reader(image), sfdp, error)) << error;
        EXPECT_EQ(CompareSfdp(sfdp, *FindFlashPart(c.row)), c.mismatch);
    }

    // What is not a basic flash parameter table is refused with its reason.
    std::vector<uint8_t> image = vexu::sim::SfdpImage(*FindFlashPart("W25Q64JV"));
    image[3] = 'Q';
    SfdpParameters sfdp;
    std::string error;
    EXPECT_FALSE(ReadSfdp(reader(image), sfdp, error));
    EXPECT_EQ(error, "no SFDP signature");
    EXPECT_FALSE(ReadSfdp(reader(std::vector<uint8_t>(64, 0xFF)), sfdp, error)) << "a chip that does not answer";
}

TEST(FlashChipTable, ProtectionBitsNameTheBlocksTheyProtect) {
    struct Case {
        const char* part;
        uint8_t status;
        const char* blocks;
    };
    const Case cases[] = {
        {"W25Q128JV", 0x00, "no blocks"},
        {"W25Q128JV", 0x04, "blocks 252 to 255 (0xFC0000-0xFFFFFF)"},
        {"W25Q128JV", 0x08 | 0x02 | 0x01, "blocks 248 to 255 (0xF80000-0xFFFFFF)"},  // WIP and WEL are no BP bits
        {"W25Q128JV", 0x1C, "blocks 0 to 255 (0x000000-0xFFFFFF)"},
        {"M25P20", 0x04, "block 3 (0x030000-0x03FFFF)"},
        {"M25P20", 0x08, "blocks 2 to 3 (0x020000-0x03FFFF)"},
        {"MT25QL512", 0x40, "blocks 896 to 1023 (0x3800000-0x3FFFFFF)"},  // BP3 in bit 6
        {"MT25QL512", 0x20, "no blocks"},                                 // TB alone protects nothing
        {"GD25Q16C", 0x7C, "blocks 0 to 31 (0x000000-0x1FFFFF)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.part) + " " + std::to_string(c.status));
        EXPECT_EQ(DescribeBlocks(ProtectedBytes(*FindFlashPart(c.part), c.status)), c.blocks);
    }
}

}  // namespace
