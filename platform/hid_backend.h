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
    // The ids as the device list gives them, without opening the interface.
    // When the list cannot tell, the interface has to be opened to read them.
    bool idsKnown = false;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string serial;  // the device's serial string; empty when it has none
    // Where the box is plugged in: the USB port path, which stays the same
    // when a box is plugged into the same socket again; empty when unknown.
    std::string location;
};

struct HidDeviceInfo {
    std::vector<HidInterfaceInfo> interfaces;
};

// Why an interface could not be opened.
enum class HidOpenError {
    kNone,     // it was opened
    kInUse,    // another program holds it
    kDenied,   // this user may not open it
    kMissing,  // it is not there (any more)
    kFailed,   // anything else
};

// "in use by another program", "permission denied", ...
const char* HidOpenErrorText(HidOpenError error);

class HidBackend {
public:
    virtual ~HidBackend() = default;
    // The HID devices present, each with its HID interfaces. Returns false
    // when the device list itself cannot be had.
    virtual bool Enumerate(std::vector<HidDeviceInfo>& devices) = 0;
    // Opens an interface for exclusive read/write; 0 on failure, and then
    // LastOpenError on the same thread tells why.
    virtual HidHandle Open(const std::string& path) = 0;
    virtual HidOpenError LastOpenError() const { return HidOpenError::kFailed; }
    virtual bool GetAttributes(HidHandle handle, uint16_t& vendorId, uint16_t& productId) = 0;
    // report[0] is the report id; length is the full report length. A fetch
    // succeeds only when the whole report came back.
    virtual bool SetFeature(HidHandle handle, const uint8_t* report, size_t length) = 0;
    virtual bool GetFeature(HidHandle handle, uint8_t* report, size_t length) = 0;
    virtual void Close(HidHandle handle) = 0;
    // The path a handle was opened from (empty when unknown); lets a
    // hot-plug removal of a path be matched to the open handle.
    virtual std::string PathOf(HidHandle handle) = 0;
};

}  // namespace vexu
