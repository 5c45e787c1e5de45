#include "flash/memory_owner.h"

#include <new>

#include "flash/flash_chips.h"

CMemoryOwner::~CMemoryOwner() = default;

CMemoryOwner& CMemoryOwner::Create(const std::string& chipName) {
    memory_.reset();
    for (const SerialFlashChip& chip : SerialFlashChips()) {
        if (chipName == chip.geometry.name) {
            memory_.reset(chip.create());
            return *this;
        }
    }
    memory_.reset(new (std::nothrow) CMemory);
    return *this;
}
