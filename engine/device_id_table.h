// The identification table of the flash-based FPGA family: which ID codes
// the programmer knows and the geometry each one has. A device matches a row
// when both its own ID code and the ID code the data image expects give the
// row's value under the row's mask; the first matching row wins.
//
// Shared by the engine's identification, the simulated FPGA and the image
// tool, so that all three agree on one geometry per ID code.
#pragma once

#include <cstddef>
#include <cstdint>

struct DeviceIdRow {
    uint32_t mask;
    uint32_t value;
    uint8_t rowWidthFactor;       // a plain row is factor x 208 bits, an encrypted row factor x 256
    uint32_t arrayRowCount;
    uint8_t deviceClass;          // 1 or 2: security register length, user lock bytes, NVM lines
    uint32_t boundaryScanLength;  // bits of the boundary-scan register (image block 2)
};

inline constexpr DeviceIdRow kDeviceIdTable[] = {
    {0x03FFFFFF, 0x023261CF, 6, 3444, 1, 1056},
    {0x03FFFFFF, 0x0274E1CF, 14, 7844, 1, 2424},
    {0x06FFFFFF, 0x049011CF, 2, 625, 1, 288},
    {0x06FFFFFF, 0x02A121CF, 4, 1244, 1, 564},
    {0x06FFFFFF, 0x02A141CF, 4, 2300, 1, 708},
    {0x06FFFFFF, 0x02B141CF, 6, 2300, 1, 900},
    {0x06FFFFFF, 0x02B261CF, 6, 3444, 1, 1056},
    {0x03FFFFFF, 0x0253A1CF, 10, 5644, 1, 1740},
    {0x06FFFFFF, 0x029121CF, 2, 1244, 1, 372},
    {0x06FFFFFF, 0x02C281CF, 8, 4500, 1, 1392},
    {0x0BFFFFFF, 0x031921CF, 3, 1244, 2, 468},
    {0x0FFFFFFF, 0x032141CF, 4, 2300, 2, 708},
    {0x0FFFFFFF, 0x033261CF, 6, 3444, 2, 1056},
    {0x0FFFFFFF, 0x0353A1CF, 10, 5556, 2, 1740},
};

inline constexpr size_t kDeviceIdRowCount = sizeof kDeviceIdTable / sizeof kDeviceIdTable[0];

// Bits of one plain or encrypted array row (and of the RLOCK row).
inline constexpr uint32_t kPlainRowUnitBits = 208;
inline constexpr uint32_t kEncryptedRowUnitBits = 256;

// Index (0-based) of the first row that both ID codes match, or -1.
constexpr int FindDeviceIdRow(uint32_t idCode, uint32_t expectedIdCode) {
    for (size_t i = 0; i < kDeviceIdRowCount; ++i) {
        const DeviceIdRow& row = kDeviceIdTable[i];
        if ((idCode & row.mask) == row.value && (expectedIdCode & row.mask) == row.value) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

static_assert(FindDeviceIdRow(0x029121CF, 0x029121CF) == 8);
static_assert(FindDeviceIdRow(0x123261CF, 0x123261CF) == 0);
