#include "flash/chip_table.h"

#include <cstdio>

namespace {

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * kKiB;

// JEDEC manufacturer IDs.
enum : uint8_t {
    kSpansion = 0x01,
    kAdesto = 0x1F,
    kMicron = 0x20,  // ST, Numonyx, Micron
    kIssi = 0x9D,
    kMacronix = 0xC2,
    kGigaDevice = 0xC8,
    kWinbond = 0xEF,
};

// The usual erase types: 4 KiB sector (0x20), 32 KiB block (0x52) and 64 KiB
// block (0xD8), with their four-byte-address opcodes.
constexpr FlashErase Erase4K(uint32_t typicalMs, uint32_t maxMs) { return {4 * kKiB, 0x20, 0x21, {typicalMs, maxMs}}; }
constexpr FlashErase Erase32K(uint32_t typicalMs, uint32_t maxMs) { return {32 * kKiB, 0x52, 0x5C, {typicalMs, maxMs}}; }
constexpr FlashErase Erase64K(uint32_t typicalMs, uint32_t maxMs) { return {64 * kKiB, 0xD8, 0xDC, {typicalMs, maxMs}}; }
// The M25P sector erase: 0xD8 only.
constexpr FlashErase SectorD8(uint32_t size, uint32_t typicalMs, uint32_t maxMs) {
    return {size, 0xD8, 0, {typicalMs, maxMs}};
}

// BP0..BP2 in bits 2-4 (TB and SEC above them left alone).
constexpr FlashProtect Bp3(uint32_t unit) { return {{2, 3, 4}, 3, unit}; }
// BP0..BP3 in bits 2-5 (Macronix, ISSI).
constexpr FlashProtect Bp4(uint32_t unit) { return {{2, 3, 4, 5}, 4, unit}; }
// Micron N25Q and MT25Q: BP0..BP2 in bits 2-4, BP3 in bit 6 (TB in bit 5).
constexpr FlashProtect MicronBp(uint32_t unit) { return {{2, 3, 4, 6}, 4, unit}; }
// BP0..BP4 in bits 2-6 (GigaDevice).
constexpr FlashProtect Bp5(uint32_t unit) { return {{2, 3, 4, 5, 6}, 5, unit}; }

// Times are the datasheets' typical and maximum: page program in
// microseconds, erases and status writes in milliseconds.
constexpr FlashPart kParts[] = {
    // Spansion / Infineon S25FL1-K
    {.name = "S25FL116K", .vendor = "Spansion", .maker = kSpansion, .type = 0x40, .capacity = 0x15, .size = 2 * kMiB,
     .erase = {Erase4K(50, 450), Erase64K(500, 2000)}, .programUs = {700, 3000}, .chipEraseMs = {7000, 20000},
     .statusWriteMs = {10, 15}, .protect = Bp3(64 * kKiB), .sfdp = true},
    {.name = "S25FL132K", .vendor = "Spansion", .maker = kSpansion, .type = 0x40, .capacity = 0x16, .size = 4 * kMiB,
     .erase = {Erase4K(50, 450), Erase64K(500, 2000)}, .programUs = {700, 3000}, .chipEraseMs = {14000, 40000},
     .statusWriteMs = {10, 15}, .protect = Bp3(64 * kKiB), .sfdp = true},
    {.name = "S25FL164K", .vendor = "Spansion", .maker = kSpansion, .type = 0x40, .capacity = 0x17, .size = 8 * kMiB,
     .erase = {Erase4K(50, 450), Erase64K(500, 2000)}, .programUs = {700, 3000}, .chipEraseMs = {28000, 80000},
     .statusWriteMs = {10, 15}, .protect = Bp3(128 * kKiB), .sfdp = true},

    // Adesto / Renesas AT25SF
    {.name = "AT25SF041", .vendor = "Adesto", .maker = kAdesto, .type = 0x84, .capacity = 0x01, .size = 512 * kKiB,
     .erase = {Erase4K(60, 300), Erase32K(300, 1300), Erase64K(500, 3000)}, .programUs = {400, 2500},
     .chipEraseMs = {4000, 12000}, .statusWriteMs = {5, 30}, .protect = Bp3(64 * kKiB), .sfdp = true},
    {.name = "AT25SF081", .vendor = "Adesto", .maker = kAdesto, .type = 0x85, .capacity = 0x01, .size = 1 * kMiB,
     .erase = {Erase4K(60, 300), Erase32K(300, 1300), Erase64K(500, 3000)}, .programUs = {400, 2500},
     .chipEraseMs = {8000, 24000}, .statusWriteMs = {5, 30}, .protect = Bp3(64 * kKiB), .sfdp = true},
    {.name = "AT25SF161", .vendor = "Adesto", .maker = kAdesto, .type = 0x86, .capacity = 0x01, .size = 2 * kMiB,
     .erase = {Erase4K(60, 300), Erase32K(300, 1300), Erase64K(500, 3000)}, .programUs = {400, 2500},
     .chipEraseMs = {15000, 40000}, .statusWriteMs = {5, 30}, .protect = Bp3(64 * kKiB), .sfdp = true},
    {.name = "AT25SF321", .vendor = "Adesto", .maker = kAdesto, .type = 0x87, .capacity = 0x01, .size = 4 * kMiB,
     .erase = {Erase4K(60, 300), Erase32K(300, 1300), Erase64K(500, 3000)}, .programUs = {400, 2500},
     .chipEraseMs = {30000, 80000}, .statusWriteMs = {5, 30}, .protect = Bp3(64 * kKiB), .sfdp = true},
    {.name = "AT25SF641", .vendor = "Adesto", .maker = kAdesto, .type = 0x32, .capacity = 0x17, .size = 8 * kMiB,
     .erase = {Erase4K(60, 300), Erase32K(300, 1300), Erase64K(500, 3000)}, .programUs = {400, 2500},
     .chipEraseMs = {60000, 160000}, .statusWriteMs = {5, 30}, .protect = Bp3(128 * kKiB), .sfdp = true},
    {.name = "AT25SF128A", .vendor = "Adesto", .maker = kAdesto, .type = 0x89, .capacity = 0x01, .size = 16 * kMiB,
     .erase = {Erase4K(60, 300), Erase32K(300, 1300), Erase64K(500, 3000)}, .programUs = {400, 2500},
     .chipEraseMs = {120000, 320000}, .statusWriteMs = {5, 30}, .protect = Bp3(256 * kKiB), .sfdp = true},

    // ST / Micron: the first boards' chips, then M25P, M25PX, N25Q and MT25Q
    {.name = "M25P20", .vendor = "ST", .driver = FlashDriver::kStLegacy, .signature = 0x11, .maker = kMicron,
     .type = 0x20, .capacity = 0x12, .size = 256 * kKiB, .erase = {SectorD8(64 * kKiB, 600, 3000)},
     .programUs = {800, 5000}, .chipEraseMs = {3000, 6000}, .protect = {{2, 3}, 2, 64 * kKiB}},
    {.name = "M25P40", .vendor = "ST", .driver = FlashDriver::kStLegacy, .signature = 0x12, .maker = kMicron,
     .type = 0x20, .capacity = 0x13, .size = 512 * kKiB, .erase = {SectorD8(64 * kKiB, 600, 3000)},
     .programUs = {800, 5000}, .chipEraseMs = {4500, 10000}, .protect = Bp3(64 * kKiB)},
    {.name = "M25P80", .vendor = "ST", .driver = FlashDriver::kStLegacy, .signature = 0x13, .maker = kMicron,
     .type = 0x20, .capacity = 0x14, .size = 1 * kMiB, .erase = {SectorD8(64 * kKiB, 600, 3000)},
     .programUs = {640, 5000}, .chipEraseMs = {8000, 20000}, .protect = Bp3(64 * kKiB)},
    {.name = "M25P16", .vendor = "ST", .maker = kMicron, .type = 0x20, .capacity = 0x15, .size = 2 * kMiB,
     .erase = {SectorD8(64 * kKiB, 600, 3000)}, .programUs = {640, 5000}, .chipEraseMs = {13000, 40000},
     .statusWriteMs = {5, 15}, .protect = Bp3(64 * kKiB)},
    {.name = "M25P32", .vendor = "ST", .maker = kMicron, .type = 0x20, .capacity = 0x16, .size = 4 * kMiB,
     .erase = {SectorD8(64 * kKiB, 600, 3000)}, .programUs = {640, 5000}, .chipEraseMs = {23000, 80000},
     .statusWriteMs = {5, 15}, .protect = Bp3(64 * kKiB)},
    {.name = "M25P64", .vendor = "ST", .maker = kMicron, .type = 0x20, .capacity = 0x17, .size = 8 * kMiB,
     .erase = {SectorD8(64 * kKiB, 1000, 3000)}, .programUs = {1400, 5000}, .chipEraseMs = {68000, 160000},
     .statusWriteMs = {5, 15}, .protect = Bp3(128 * kKiB)},
    {.name = "M25P128", .vendor = "ST", .maker = kMicron, .type = 0x20, .capacity = 0x18, .size = 16 * kMiB,
     .erase = {SectorD8(256 * kKiB, 2000, 3000)}, .programUs = {1400, 5000}, .chipEraseMs = {105000, 250000},
     .statusWriteMs = {5, 15}, .protect = Bp3(256 * kKiB)},
    {.name = "M25PX16", .vendor = "ST", .maker = kMicron, .type = 0x71, .capacity = 0x15, .size = 2 * kMiB,
     .erase = {Erase4K(70, 150), Erase64K(600, 3000)}, .programUs = {800, 5000}, .chipEraseMs = {15000, 80000},
     .statusWriteMs = {5, 15}, .protect = Bp3(64 * kKiB)},
    {.name = "M25PX32", .vendor = "ST", .maker = kMicron, .type = 0x71, .capacity = 0x16, .size = 4 * kMiB,
     .erase = {Erase4K(70, 150), Erase64K(600, 3000)}, .programUs = {800, 5000}, .chipEraseMs = {34000, 80000},
     .statusWriteMs = {5, 15}, .protect = Bp3(64 * kKiB)},
    {.name = "M25PX64", .vendor = "ST", .maker = kMicron, .type = 0x71, .capacity = 0x17, .size = 8 * kMiB,
     .erase = {Erase4K(70, 150), Erase64K(600, 3000)}, .programUs = {800, 5000}, .chipEraseMs = {68000, 160000},
     .statusWriteMs = {5, 15}, .protect = Bp3(128 * kKiB)},
    {.name = "N25Q032A", .vendor = "Micron", .maker = kMicron, .type = 0xBA, .capacity = 0x16, .size = 4 * kMiB,
     .erase = {Erase4K(250, 800), Erase64K(700, 3000)}, .programUs = {500, 5000}, .chipEraseMs = {30000, 60000},
     .statusWriteMs = {2, 8}, .protect = MicronBp(64 * kKiB), .sfdp = true, .sectorLocks = true},
    {.name = "N25Q064A", .vendor = "Micron", .maker = kMicron, .type = 0xBA, .capacity = 0x17, .size = 8 * kMiB,
     .erase = {Erase4K(250, 800), Erase64K(700, 3000)}, .programUs = {500, 5000}, .chipEraseMs = {60000, 120000},
     .statusWriteMs = {2, 8}, .protect = MicronBp(64 * kKiB), .sfdp = true, .sectorLocks = true},
    {.name = "N25Q128A", .vendor = "Micron", .maker = kMicron, .type = 0xBA, .capacity = 0x18, .size = 16 * kMiB,
     .erase = {Erase4K(250, 800), Erase64K(700, 3000)}, .programUs = {500, 5000}, .chipEraseMs = {170000, 250000},
     .statusWriteMs = {2, 8}, .protect = MicronBp(64 * kKiB), .sfdp = true, .sectorLocks = true},
    {.name = "N25Q256A", .vendor = "Micron", .maker = kMicron, .type = 0xBA, .capacity = 0x19, .size = 32 * kMiB,
     .erase = {Erase4K(250, 800), Erase64K(700, 3000)}, .programUs = {500, 5000}, .chipEraseMs = {240000, 480000},
     .statusWriteMs = {2, 8}, .addressBytes = 4, .protect = MicronBp(64 * kKiB), .sfdp = true, .sectorLocks = true},
    {.name = "MT25QL512", .vendor = "Micron", .maker = kMicron, .type = 0xBA, .capacity = 0x20, .size = 64 * kMiB,
     .erase = {Erase4K(50, 400), Erase32K(100, 1000), Erase64K(150, 1000)}, .programUs = {120, 1800},
     .chipEraseMs = {153000, 460000}, .statusWriteMs = {2, 8}, .addressBytes = 4, .protect = MicronBp(64 * kKiB),
     .sfdp = true, .sectorLocks = true},
    {.name = "MT25QL01G", .vendor = "Micron", .maker = kMicron, .type = 0xBA, .capacity = 0x21, .size = 128 * kMiB,
     .erase = {Erase4K(50, 400), Erase32K(100, 1000), Erase64K(150, 1000)}, .programUs = {120, 1800},
     .chipEraseMs = {306000, 920000}, .statusWriteMs = {2, 8}, .addressBytes = 4, .protect = MicronBp(64 * kKiB),
     .sfdp = true, .sectorLocks = true},
    {.name = "MT25QU256", .vendor = "Micron", .maker = kMicron, .type = 0xBB, .capacity = 0x19, .size = 32 * kMiB,
     .erase = {Erase4K(50, 400), Erase32K(100, 1000), Erase64K(150, 1000)}, .programUs = {120, 1800},
     .chipEraseMs = {76000, 230000}, .statusWriteMs = {2, 8}, .addressBytes = 4, .protect = MicronBp(64 * kKiB),
     .sfdp = true, .sectorLocks = true},

    // ISSI IS25LP (3 V) and IS25WP (1.8 V)
    {.name = "IS25LP016D", .vendor = "ISSI", .maker = kIssi, .type = 0x60, .capacity = 0x15, .size = 2 * kMiB,
     .erase = {Erase4K(70, 300), Erase32K(100, 500), Erase64K(150, 1000)}, .programUs = {200, 800},
     .chipEraseMs = {5000, 10000}, .statusWriteMs = {2, 15}, .protect = Bp4(64 * kKiB), .sfdp = true},
    {.name = "IS25LP064A", .vendor = "ISSI", .maker = kIssi, .type = 0x60, .capacity = 0x17, .size = 8 * kMiB,
     .erase = {Erase4K(70, 300), Erase32K(100, 500), Erase64K(150, 1000)}, .programUs = {200, 800},
     .chipEraseMs = {20000, 45000}, .statusWriteMs = {2, 15}, .protect = Bp4(64 * kKiB), .sfdp = true},
    {.name = "IS25LP128F", .vendor = "ISSI", .maker = kIssi, .type = 0x60, .capacity = 0x18, .size = 16 * kMiB,
     .erase = {Erase4K(70, 300), Erase32K(100, 500), Erase64K(150, 1000)}, .programUs = {200, 800},
     .chipEraseMs = {40000, 90000}, .statusWriteMs = {2, 15}, .protect = Bp4(64 * kKiB), .sfdp = true},
    {.name = "IS25LP256D", .vendor = "ISSI", .maker = kIssi, .type = 0x60, .capacity = 0x19, .size = 32 * kMiB,
     .erase = {Erase4K(70, 300), Erase32K(100, 500), Erase64K(150, 1000)}, .programUs = {200, 800},
     .chipEraseMs = {80000, 180000}, .statusWriteMs = {2, 15}, .addressBytes = 4, .protect = Bp4(128 * kKiB),
     .sfdp = true},
    {.name = "IS25WP032D", .vendor = "ISSI", .maker = kIssi, .type = 0x70, .capacity = 0x16, .size = 4 * kMiB,
     .erase = {Erase4K(70, 300), Erase32K(100, 500), Erase64K(150, 1000)}, .programUs = {200, 800},
     .chipEraseMs = {10000, 20000}, .statusWriteMs = {2, 15}, .protect = Bp4(64 * kKiB), .sfdp = true},
    {.name = "IS25WP128F", .vendor = "ISSI", .maker = kIssi, .type = 0x70, .capacity = 0x18, .size = 16 * kMiB,
     .erase = {Erase4K(70, 300), Erase32K(100, 500), Erase64K(150, 1000)}, .programUs = {200, 800},
     .chipEraseMs = {40000, 90000}, .statusWriteMs = {2, 15}, .protect = Bp4(64 * kKiB), .sfdp = true},

    // Macronix MX25L
    {.name = "MX25L8006E", .vendor = "Macronix", .maker = kMacronix, .type = 0x20, .capacity = 0x14, .size = 1 * kMiB,
     .erase = {Erase4K(40, 200), Erase64K(400, 2000)}, .programUs = {600, 3000}, .chipEraseMs = {9000, 20000},
     .statusWriteMs = {5, 40}, .protect = Bp3(64 * kKiB), .sfdp = true},
    {.name = "MX25L1606E", .vendor = "Macronix", .maker = kMacronix, .type = 0x20, .capacity = 0x15, .size = 2 * kMiB,
     .erase = {Erase4K(40, 200), Erase32K(200, 1000), Erase64K(400, 2000)}, .programUs = {600, 3000},
     .chipEraseMs = {14000, 30000}, .statusWriteMs = {5, 40}, .protect = Bp4(64 * kKiB), .sfdp = true},
    {.name = "MX25L3233F", .vendor = "Macronix", .maker = kMacronix, .type = 0x20, .capacity = 0x16, .size = 4 * kMiB,
     .erase = {Erase4K(30, 300), Erase32K(150, 1000), Erase64K(250, 2000)}, .programUs = {500, 1500},
     .chipEraseMs = {20000, 50000}, .statusWriteMs = {5, 40}, .protect = Bp4(64 * kKiB), .sfdp = true},
    {.name = "MX25L6433F", .vendor = "Macronix", .maker = kMacronix, .type = 0x20, .capacity = 0x17, .size = 8 * kMiB,
     .erase = {Erase4K(30, 300), Erase32K(150, 1000), Erase64K(250, 2000)}, .programUs = {500, 1500},
     .chipEraseMs = {40000, 100000}, .statusWriteMs = {5, 40}, .protect = Bp4(64 * kKiB), .sfdp = true},
    {.name = "MX25L12835F", .vendor = "Macronix", .maker = kMacronix, .type = 0x20, .capacity = 0x18,
     .size = 16 * kMiB, .erase = {Erase4K(40, 200), Erase32K(200, 1000), Erase64K(400, 2000)},
     .programUs = {330, 1200}, .chipEraseMs = {50000, 150000}, .statusWriteMs = {5, 40}, .protect = Bp4(64 * kKiB),
     .sfdp = true},
    {.name = "MX25L25645G", .vendor = "Macronix", .maker = kMacronix, .type = 0x20, .capacity = 0x19,
     .size = 32 * kMiB, .erase = {Erase4K(25, 400), Erase32K(140, 1000), Erase64K(220, 2000)},
     .programUs = {150, 750}, .chipEraseMs = {75000, 300000}, .statusWriteMs = {4, 40}, .addressBytes = 4,
     .protect = Bp4(64 * kKiB), .sfdp = true},
    {.name = "MX25L51245G", .vendor = "Macronix", .maker = kMacronix, .type = 0x20, .capacity = 0x1A,
     .size = 64 * kMiB, .erase = {Erase4K(25, 400), Erase32K(140, 1000), Erase64K(220, 2000)},
     .programUs = {150, 750}, .chipEraseMs = {150000, 600000}, .statusWriteMs = {4, 40}, .addressBytes = 4,
     .protect = Bp4(128 * kKiB), .sfdp = true},

    // GigaDevice GD25Q
    {.name = "GD25Q16C", .vendor = "GigaDevice", .maker = kGigaDevice, .type = 0x40, .capacity = 0x15,
     .size = 2 * kMiB, .erase = {Erase4K(50, 400), Erase32K(160, 800), Erase64K(250, 1200)},
     .programUs = {600, 2400}, .chipEraseMs = {10000, 30000}, .statusWriteMs = {5, 30}, .protect = Bp5(64 * kKiB),
     .sfdp = true},
    {.name = "GD25Q32C", .vendor = "GigaDevice", .maker = kGigaDevice, .type = 0x40, .capacity = 0x16,
     .size = 4 * kMiB, .erase = {Erase4K(50, 400), Erase32K(160, 800), Erase64K(250, 1200)},
     .programUs = {600, 2400}, .chipEraseMs = {20000, 60000}, .statusWriteMs = {5, 30}, .protect = Bp5(64 * kKiB),
     .sfdp = true},
    {.name = "GD25Q64C", .vendor = "GigaDevice", .maker = kGigaDevice, .type = 0x40, .capacity = 0x17,
     .size = 8 * kMiB, .erase = {Erase4K(50, 400), Erase32K(160, 800), Erase64K(250, 1200)},
     .programUs = {600, 2400}, .chipEraseMs = {40000, 120000}, .statusWriteMs = {5, 30}, .protect = Bp5(128 * kKiB),
     .sfdp = true},
    {.name = "GD25Q128C", .vendor = "GigaDevice", .maker = kGigaDevice, .type = 0x40, .capacity = 0x18,
     .size = 16 * kMiB, .erase = {Erase4K(50, 400), Erase32K(160, 800), Erase64K(250, 1200)},
     .programUs = {600, 2400}, .chipEraseMs = {80000, 250000}, .statusWriteMs = {5, 30}, .protect = Bp5(256 * kKiB),
     .sfdp = true},
    {.name = "GD25Q256D", .vendor = "GigaDevice", .maker = kGigaDevice, .type = 0x40, .capacity = 0x19,
     .size = 32 * kMiB, .erase = {Erase4K(50, 400), Erase32K(160, 800), Erase64K(250, 1200)},
     .programUs = {500, 2400}, .chipEraseMs = {150000, 400000}, .statusWriteMs = {5, 30}, .addressBytes = 4,
     .protect = Bp5(64 * kKiB), .sfdp = true},

    // Winbond W25X and W25Q
    {.name = "W25X40", .vendor = "Winbond", .maker = kWinbond, .type = 0x30, .capacity = 0x13, .size = 512 * kKiB,
     .erase = {Erase4K(150, 300), Erase64K(1000, 2000)}, .programUs = {1500, 3000}, .chipEraseMs = {4000, 10000},
     .statusWriteMs = {10, 15}, .protect = Bp3(64 * kKiB)},
    {.name = "W25X16", .vendor = "Winbond", .maker = kWinbond, .type = 0x30, .capacity = 0x15, .size = 2 * kMiB,
     .erase = {Erase4K(150, 300), Erase64K(1000, 2000)}, .programUs = {1500, 3000}, .chipEraseMs = {20000, 40000},
     .statusWriteMs = {10, 15}, .protect = Bp3(64 * kKiB)},
    {.name = "W25X32", .vendor = "Winbond", .maker = kWinbond, .type = 0x30, .capacity = 0x16, .size = 4 * kMiB,
     .erase = {Erase4K(150, 300), Erase64K(1000, 2000)}, .programUs = {1500, 3000}, .chipEraseMs = {40000, 80000},
     .statusWriteMs = {10, 15}, .protect = Bp3(64 * kKiB)},
    {.name = "W25X64", .vendor = "Winbond", .maker = kWinbond, .type = 0x30, .capacity = 0x17, .size = 8 * kMiB,
     .erase = {Erase4K(150, 300), Erase64K(1000, 2000)}, .programUs = {1500, 3000}, .chipEraseMs = {80000, 160000},
     .statusWriteMs = {10, 15}, .protect = Bp3(128 * kKiB)},
    {.name = "W25Q16JV", .vendor = "Winbond", .maker = kWinbond, .type = 0x40, .capacity = 0x15, .size = 2 * kMiB,
     .erase = {Erase4K(45, 400), Erase32K(120, 1600), Erase64K(150, 2000)}, .programUs = {400, 3000},
     .chipEraseMs = {5000, 25000}, .statusWriteMs = {10, 15}, .protect = Bp3(64 * kKiB), .sfdp = true},
    {.name = "W25Q32JV", .vendor = "Winbond", .maker = kWinbond, .type = 0x40, .capacity = 0x16, .size = 4 * kMiB,
     .erase = {Erase4K(45, 400), Erase32K(120, 1600), Erase64K(150, 2000)}, .programUs = {400, 3000},
     .chipEraseMs = {10000, 50000}, .statusWriteMs = {10, 15}, .protect = Bp3(64 * kKiB), .sfdp = true},
    {.name = "W25Q64JV", .vendor = "Winbond", .maker = kWinbond, .type = 0x40, .capacity = 0x17, .size = 8 * kMiB,
     .erase = {Erase4K(45, 400), Erase32K(120, 1600), Erase64K(150, 2000)}, .programUs = {400, 3000},
     .chipEraseMs = {20000, 100000}, .statusWriteMs = {10, 15}, .protect = Bp3(128 * kKiB), .sfdp = true},
    {.name = "W25Q128JV", .vendor = "Winbond", .maker = kWinbond, .type = 0x40, .capacity = 0x18, .size = 16 * kMiB,
     .erase = {Erase4K(45, 400), Erase32K(120, 1600), Erase64K(150, 2000)}, .programUs = {400, 3000},
     .chipEraseMs = {40000, 200000}, .statusWriteMs = {10, 15}, .protect = Bp3(256 * kKiB), .sfdp = true},
    {.name = "W25Q256JV", .vendor = "Winbond", .maker = kWinbond, .type = 0x40, .capacity = 0x19, .size = 32 * kMiB,
     .erase = {Erase4K(50, 400), Erase32K(120, 1600), Erase64K(150, 2000)}, .programUs = {400, 3000},
     .chipEraseMs = {80000, 400000}, .statusWriteMs = {10, 15}, .addressBytes = 4, .protect = Bp4(64 * kKiB),
     .sfdp = true},
    {.name = "W25Q512JV", .vendor = "Winbond", .maker = kWinbond, .type = 0x40, .capacity = 0x20, .size = 64 * kMiB,
     .erase = {Erase4K(50, 400), Erase32K(120, 1600), Erase64K(150, 2000)}, .programUs = {400, 3000},
     .chipEraseMs = {160000, 800000}, .statusWriteMs = {10, 15}, .addressBytes = 4, .protect = Bp4(128 * kKiB),
     .sfdp = true},

    // TSI: the first boards' second chip. It answers 0x9F with 0x20, the
    // identification byte every ST and Micron part gives, so that only the
    // rows above can tell a known part from it.
    {.name = "TS25L80P", .vendor = "TSI", .driver = FlashDriver::kTsiLegacy, .signature = 0x14, .maker = kMicron,
     .type = 0x20, .capacity = 0x14, .size = 1 * kMiB, .erase = {SectorD8(64 * kKiB, 600, 3000)},
     .programUs = {800, 5000}, .chipEraseMs = {8000, 20000}, .protect = Bp3(64 * kKiB)},
};

}  // namespace

std::span<const FlashPart> FlashParts() { return kParts; }

const FlashPart* FindFlashPart(std::string_view name) {
    for (const FlashPart& part : kParts)
        if (name == part.name) return &part;
    return nullptr;
}

const FlashPart* FindFlashPartById(uint8_t maker, uint8_t type, uint8_t capacity) {
    for (const FlashPart& part : kParts)
        if (part.driver == FlashDriver::kJedec && part.maker == maker && part.type == type &&
            part.capacity == capacity)
            return &part;
    return nullptr;
}

const FlashErase& SmallestErase(const FlashPart& part) { return part.erase[0]; }

const FlashErase& LargestErase(const FlashPart& part) {
    int last = 0;
    for (int i = 1; i < kMaxEraseTypes; ++i)
        if (part.erase[i].size != 0) last = i;
    return part.erase[last];
}

uint8_t ProtectMask(const FlashPart& part) {
    uint8_t mask = 0;
    for (int i = 0; i < part.protect.count; ++i) mask |= static_cast<uint8_t>(1u << part.protect.bits[i]);
    return mask;
}

uint8_t ProtectLevel(const FlashPart& part, uint8_t status) {
    uint8_t level = 0;
    for (int i = 0; i < part.protect.count; ++i)
        if (status & (1u << part.protect.bits[i])) level |= static_cast<uint8_t>(1u << i);
    return level;
}

ProtectedRange ProtectedBytes(const FlashPart& part, uint8_t status) {
    const uint8_t level = ProtectLevel(part, status);
    if (level == 0) return {};
    const uint8_t all = static_cast<uint8_t>((1u << part.protect.count) - 1);
    const uint64_t length = uint64_t{part.protect.unit} << (level - 1);
    if (level == all || length >= part.size) return {0, part.size};
    return {part.size - static_cast<uint32_t>(length), static_cast<uint32_t>(length)};
}

std::string DescribeBlocks(const ProtectedRange& range) {
    if (range.length == 0) return "no blocks";
    constexpr uint32_t kBlock = 64 * kKiB;
    const uint32_t last = range.first + range.length - 1;
    char text[96];
    if (range.first / kBlock == last / kBlock)
        snprintf(text, sizeof text, "block %u (0x%06X-0x%06X)", range.first / kBlock, range.first, last);
    else
        snprintf(text, sizeof text, "blocks %u to %u (0x%06X-0x%06X)", range.first / kBlock, last / kBlock,
                 range.first, last);
    return text;
}

std::string FormatJedecId(uint8_t maker, uint8_t type, uint8_t capacity) {
    char text[16];
    snprintf(text, sizeof text, "%02X %02X %02X", maker, type, capacity);
    return text;
}
