// CMemoryOwner: makes the memory device for a chip name and owns it for one
// serial-flash job.
#pragma once

#include <memory>
#include <string>

#include "flash/chip_table.h"
#include "flash/flash_wait.h"
#include "flash/memory.h"

class CMemoryOwner {
public:
    CMemoryOwner() = default;
    ~CMemoryOwner();
    CMemoryOwner(const CMemoryOwner&) = delete;
    CMemoryOwner& operator=(const CMemoryOwner&) = delete;

    // Makes the chip object whose name matches chipName exactly (letter case
    // included), or a plain CMemory for any other name. An object made
    // earlier by this owner is deleted. When memory is exhausted the owner
    // holds nothing.
    CMemoryOwner& Create(const std::string& chipName);
    // Makes the driver of a row: the first boards' chips by their name, any
    // other part as a CJedecFlash named name. With kChip the device waits
    // from the part's datasheet times.
    CMemoryOwner& Create(const FlashPart& part, const std::string& name, FlashTiming timing);
    // The owned object; null before Create.
    CMemory* Get() const { return memory_.get(); }

private:
    std::unique_ptr<CMemory> memory_;
};
