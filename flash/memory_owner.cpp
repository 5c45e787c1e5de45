#include "flash/memory_owner.h"

#include <new>

#include "flash/flash_chips.h"
#include "flash/jedec_flash.h"

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

CMemoryOwner& CMemoryOwner::Create(const FlashPart& part, const std::string& name, FlashTiming timing) {
    if (part.driver == FlashDriver::kJedec)
        memory_.reset(new (std::nothrow) CJedecFlash(part, name, timing));
    else
        Create(std::string(part.name));
    if (memory_ && timing == FlashTiming::kChip) memory_->UseChipTiming(part);
    return *this;
}
