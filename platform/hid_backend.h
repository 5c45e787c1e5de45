// The HID services the device manager needs, behind one narrow interface:
// enumerate the HID devices and their interfaces, open an interface
// exclusively, read its ids, write and fetch feature reports, close.
// Implementations: hidapi over hidraw (real boxes), the simulated box, and
// scripted fakes in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vexu {

// An open interface. 0 is "no handle"; backends hand out small positive
// numbers, never reusing one while it is open.
using HidHandle = intptr_t;

struct HidInterfaceInfo {
    std::string path;  // what Open takes; empty when its details cannot be read
};

struct HidDeviceInfo {
    std::vector<HidInterfaceInfo> interfaces;
};

class HidBackend {
public:
    virtual ~HidBackend() = default;
    // The HID devices present, each with its HID interfaces. Returns false
    // when the device list itself cannot be had.
    virtual bool Enumerate(std::vector<HidDeviceInfo>& devices) = 0;
    // Opens an interface for exclusive read/write; 0 on failure.
    virtual HidHandle Open(const std::string& path) = 0;
    virtual bool GetAttributes(HidHandle handle, uint16_t& vendorId, uint16_t& productId) = 0;
    // report[0] is the report id; length is the full report length.
    virtual bool SetFeature(HidHandle handle, const uint8_t* report, size_t length) = 0;
    virtual bool GetFeature(HidHandle handle, uint8_t* report, size_t length) = 0;
    virtual void Close(HidHandle handle) = 0;
    // The path a handle was opened from (empty when unknown); lets a
    // hot-plug removal of a path be matched to the open handle.
    virtual std::string PathOf(HidHandle handle) = 0;
};

}  // namespace vexu
