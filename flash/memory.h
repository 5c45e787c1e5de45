// CMemory: a memory device as the serial-flash job sees it, a named device
// made of equal visual pages that are written and read back one by one. The
// serial flash chips derive from it; a plain CMemory stands for a chip name
// the system does not know, and every one of its operations fails.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct FlashPart;

class CMemory {
public:
    CMemory();
    CMemory(std::string vendor, std::string type, std::string name, int visualPageSize,
            int visualPageCount);
    virtual ~CMemory();

    CMemory(const CMemory&) = delete;
    CMemory& operator=(const CMemory&) = delete;

    // Prepares the whole device for writing (the chips erase every sector).
    virtual int WriteInit();
    // Writes len bytes (at most one visual page) at visual page `page`.
    virtual int WriteVisualPage(int page, const char* data, int len);
    // Prepares the device for reading.
    virtual int ReadInit();
    // Reads len bytes (at most one visual page) of visual page `page` into data.
    virtual int ReadVisualPage(int page, char* data, int len);
    // Erases the whole device at once and waits until it is done; onWait
    // (may be empty) hears, after each look at the device, how long the
    // wait has lasted so far.
    virtual int EraseChip(const std::function<void(uint32_t waitedMs)>& onWait);
    // Waits for programs and erases from the part's datasheet times instead
    // of the fixed waits (a plain device has nothing to wait for).
    virtual void UseChipTiming(const FlashPart& part);
    // The smallest erase unit in bytes (0: the device cannot erase part of
    // itself), and the erase of unit index, waiting until it is done.
    virtual uint32_t EraseUnitSize() const;
    virtual int EraseUnit(uint32_t index);

    std::string GetVendor() const { return vendor_; }
    std::string GetType() const { return type_; }
    std::string GetName() const { return name_; }
    int GetVisualPageSize() const { return visualPageSize_; }
    int GetVisualPageCount() const { return visualPageCount_; }

protected:
    const std::string& Name() const { return name_; }

private:
    std::string vendor_;  // "ST", "TSI"
    std::string type_;    // "SerialFlash"
    std::string name_;    // chip model, or a family's default name
    int visualPageSize_;
    int visualPageCount_;
};
