// The SPI NOR flash parts the programmer knows, as data: one row per part
// with its identification, geometry, erase types, datasheet times, address
// width and write-protection bits. The four chips of the first boards (the
// M25P20/40/80, found by their one-byte signature, and the TS25L80P) keep
// their own drivers; every other row is driven by the JEDEC driver from the
// row alone. Adding a part is adding a row to chip_table.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Which driver a row takes.
enum class FlashDriver : uint8_t {
    kJedec,      // read, program and erase from the row (CJedecFlash)
    kStLegacy,   // CM25P20/40/80: identified by their one-byte signature
    kTsiLegacy,  // CTS25L80P: the 0x20 identification byte no other row claims
};

// A datasheet time: typical and maximum.
struct FlashTime {
    uint32_t typical = 0;
    uint32_t max = 0;
};

// One erase type: the bytes it erases, its opcodes with three and with four
// address bytes, and its time in milliseconds.
struct FlashErase {
    uint32_t size = 0;  // 0: no such erase type
    uint8_t opcode = 0;
    uint8_t opcode4 = 0;  // the four-byte-address form; 0 where the part has none
    FlashTime ms;
};

// Block protection in the status register: the bit positions of BP0, BP1,
// ... and what level 1 protects (the top `unit` bytes of the chip; each
// further level doubles it, every bit set protects the whole chip).
struct FlashProtect {
    uint8_t bits[5] = {};
    uint8_t count = 0;  // 0: the part has no block protection
    uint32_t unit = 0;
};

constexpr int kMaxEraseTypes = 3;

struct FlashPart {
    const char* name = "";
    const char* vendor = "";
    FlashDriver driver = FlashDriver::kJedec;
    uint8_t signature = 0;  // the answer to 0xAB that identifies it (legacy chips only; 0: none)
    uint8_t maker = 0;      // JEDEC ID: manufacturer, memory type, capacity
    uint8_t type = 0;
    uint8_t capacity = 0;
    uint32_t size = 0;
    uint32_t pageSize = 256;
    FlashErase erase[kMaxEraseTypes] = {};  // smallest first
    FlashTime programUs;                    // one page program, microseconds
    FlashTime chipEraseMs;                  // 0xC7 bulk erase
    FlashTime statusWriteMs{5, 15};         // write status register
    uint8_t addressBytes = 3;               // 4: the four-byte opcodes of the erase types, 0x13 and 0x12
    FlashProtect protect;
    bool sfdp = false;  // the part carries a JESD216 parameter table
    // Each 64 KiB sector has a lock register (read 0xE8, written 0xE5 after
    // write enable; bit 0 locks the sector against program and erase).
    bool sectorLocks = false;
};

constexpr uint32_t kLockSectorSize = 64 * 1024;
constexpr uint8_t kSectorLocked = 0x01;

// The whole table, sorted by maker.
std::span<const FlashPart> FlashParts();
// Exact, case-sensitive name; null when unknown.
const FlashPart* FindFlashPart(std::string_view name);
// The row whose three JEDEC ID bytes these are (legacy rows excluded: they
// are found by their signature); null when none.
const FlashPart* FindFlashPartById(uint8_t maker, uint8_t type, uint8_t capacity);

// The smallest and the largest erase type of a row.
const FlashErase& SmallestErase(const FlashPart& part);
const FlashErase& LargestErase(const FlashPart& part);

// Block-protection level that a status register value sets, and the byte
// range [first, first + length) it protects (length 0: none).
struct ProtectedRange {
    uint32_t first = 0;
    uint32_t length = 0;
};
uint8_t ProtectLevel(const FlashPart& part, uint8_t status);
ProtectedRange ProtectedBytes(const FlashPart& part, uint8_t status);
// The status register's block-protection bits of the row.
uint8_t ProtectMask(const FlashPart& part);
// "blocks 252 to 255 (0xFC0000-0xFFFFFF)": the 64 KiB blocks a range covers.
std::string DescribeBlocks(const ProtectedRange& range);

// "EF 40 18"
std::string FormatJedecId(uint8_t maker, uint8_t type, uint8_t capacity);
