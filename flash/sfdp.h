// The serial flash discoverable parameters (JESD216): the header at SFDP
// address 0, the first parameter header, and the basic flash parameter
// table it points at. Read with 0x5A, three address bytes and one dummy
// byte. A part's own table confirms its row of the chip table, and describes
// a part that has no row.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "flash/chip_table.h"

// What the basic flash parameter table says.
struct SfdpParameters {
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t dwords = 0;  // length of the basic table
    uint32_t size = 0;    // bytes
    uint32_t pageSize = 256;
    // Erase types 1 to 4 as the table lists them (size 0: unused); times
    // where the table gives them (JESD216A and later), else 0.
    FlashErase erase[4];
    bool erase4K = false;  // DWORD 1: uniform 4 KiB erase
    uint8_t erase4KOpcode = 0;
    uint8_t addressModes = 0;  // DWORD 1 bits 18:17: 0 three bytes, 1 three or four, 2 four only
    FlashTime programUs;
    FlashTime chipEraseMs;
};

// Reads SFDP bytes at an address; false when the transfer failed.
using SfdpReader = std::function<bool(uint32_t address, uint8_t* out, uint32_t length)>;

// Reads and parses the table; false with error naming the reason ("no SFDP
// signature", ...).
bool ReadSfdp(const SfdpReader& read, SfdpParameters& parameters, std::string& error);

// The first difference between the table and a row, as
// "size 8388608 bytes in its SFDP, 16777216 bytes in the chip table"; empty
// when they agree on size, page size, erase types and opcodes, address
// bytes and the 4 KiB erase.
std::string CompareSfdp(const SfdpParameters& sfdp, const FlashPart& part);

// A row built from the table alone, for a part the chip table lacks. name
// must outlive the row.
FlashPart PartFromSfdp(const SfdpParameters& sfdp, const char* name, uint8_t maker, uint8_t type,
                       uint8_t capacity);

// The row as it would be added to the chip table's source.
std::string FormatTableRow(const FlashPart& part);
// The table's values in one line each, for "flash id".
std::string DescribeSfdp(const SfdpParameters& sfdp);
