// The serial flash chips the system programs. Each is a small class that
// takes its row of the chip table; adding a chip of a known family is one
// row in flash_chips.cpp and one class here.
#pragma once

#include <span>

#include "flash/serial_flash.h"

class CM25P20 : public CStFlashAdd24p {
public:
    CM25P20();
    ~CM25P20() override;
};

class CM25P40 : public CStFlashAdd24p {
public:
    CM25P40();
    ~CM25P40() override;
};

class CM25P80 : public CStFlashAdd24p {
public:
    CM25P80();
    ~CM25P80() override;
};

class CTS25L80P : public CTsiFlashAdd24 {
public:
    CTS25L80P();
    ~CTS25L80P() override;
};

// A row of the chip table: the chip's geometry and how to make its object.
struct SerialFlashChip {
    SerialFlashGeometry geometry;
    CMemory* (*create)();  // a new chip object; null when memory is exhausted
};

// The chip table, in the order in which chip names are matched.
std::span<const SerialFlashChip> SerialFlashChips();
