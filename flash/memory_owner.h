// CMemoryOwner: makes the memory device for a chip name and owns it for one
// serial-flash job.
#pragma once

#include <memory>
#include <string>

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
    // The owned object; null before Create.
    CMemory* Get() const { return memory_.get(); }

private:
    std::unique_ptr<CMemory> memory_;
};
