#include "flash/memory.h"

#include <utility>

#include "platform/trace.h"

CMemory::CMemory() : visualPageSize_(0), visualPageCount_(0) {}

CMemory::CMemory(std::string vendor, std::string type, std::string name, int visualPageSize,
                 int visualPageCount)
    : vendor_(std::move(vendor)),
      type_(std::move(type)),
      name_(std::move(name)),
      visualPageSize_(visualPageSize),
      visualPageCount_(visualPageCount) {}

CMemory::~CMemory() = default;

int CMemory::WriteInit() {
    vexu::Trace("CMemory::WriteInit()  \r\n");
    return 0;
}

int CMemory::WriteVisualPage(int page, const char*, int) {
    vexu::TraceF("CMemory::WriteVisualPage( %d )  \r\n", page);
    return 0;
}

int CMemory::ReadInit() {
    vexu::Trace("CMemory::ReadInit()  \r\n");
    return 0;
}

int CMemory::EraseChip(const std::function<void(uint32_t)>&) {
    vexu::Trace("CMemory::EraseChip()  \r\n");
    return 0;
}

int CMemory::ReadVisualPage(int page, char*, int) {
    vexu::TraceF(" CMemory::ReadVisualPage( %d )  \r\n", page);
    return 0;
}

void CMemory::UseChipTiming(const FlashPart&) {}

uint32_t CMemory::EraseUnitSize() const { return 0; }

int CMemory::EraseUnit(uint32_t) { return 0; }
