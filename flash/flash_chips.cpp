#include "flash/flash_chips.h"

#include <new>
#include <string_view>

namespace {

template <class Chip>
CMemory* NewChip() {
    return new (std::nothrow) Chip;
}

// name, memorySize, pageSize, pageTotal, sectorSize, sectorTotal, signature,
// bulk erase time (typical, longest) in ms. The page is the visual page of
// the serial-flash job.
constexpr SerialFlashChip kChips[] = {
    {{"M25P80", 0x100000, 256, 4096, 0x10000, 16, {0x13, 0x13, 0x13}, 8000, 20000}, &NewChip<CM25P80>},
    {{"M25P40", 0x80000, 256, 2048, 0x10000, 8, {0x12, 0x12, 0x12}, 4500, 10000}, &NewChip<CM25P40>},
    {{"M25P20", 0x40000, 256, 1024, 0x10000, 4, {0x11, 0x11, 0x11}, 3000, 6000}, &NewChip<CM25P20>},
    {{"TS25L80P", 0x100000, 256, 4096, 0x10000, 16, {0x20, 0x20, 0x14}, 8000, 20000}, &NewChip<CTS25L80P>},
};

// A chip's row, found while compiling: a class naming a chip that has no
// row does not build.
consteval const SerialFlashGeometry& Row(std::string_view name) {
    for (const SerialFlashChip& chip : kChips) {
        if (name == chip.geometry.name) return chip.geometry;
    }
    throw "chip missing from the chip table";
}

}  // namespace

std::span<const SerialFlashChip> SerialFlashChips() { return kChips; }

CM25P20::CM25P20() : CStFlashAdd24p(Row("M25P20")) {}
CM25P20::~CM25P20() = default;

CM25P40::CM25P40() : CStFlashAdd24p(Row("M25P40")) {}
CM25P40::~CM25P40() = default;

CM25P80::CM25P80() : CStFlashAdd24p(Row("M25P80")) {}
CM25P80::~CM25P80() = default;

CTS25L80P::CTS25L80P() : CTsiFlashAdd24(Row("TS25L80P")) {}
CTS25L80P::~CTS25L80P() = default;
