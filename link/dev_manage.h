// CDevManage: finds the programmer box among the HID interfaces, opens it,
// follows its arrival and removal, and is the only path by which feature
// reports reach it. Class-level state only; the process holds one box.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid_backend.h"
#include "platform/hotplug.h"
#include "platform/messages.h"

constexpr uint16_t kProgrammerVendorId = 0xA112;
constexpr uint16_t kProgrammerProductId = 0xB112;

// Device-change events and broadcast record types.
constexpr uintptr_t DBT_DEVICEARRIVAL = 0x8000;
constexpr uintptr_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
constexpr uint32_t DBT_DEVTYP_DEVICEINTERFACE = 5;
constexpr uint32_t DBT_DEVTYP_HANDLE = 6;

// What a device-change notification carries: an interface class arrival
// (type 5, with the interface's name when it is known) or the removal of an
// open handle (type 6).
struct DevBroadcast {
    uint32_t deviceType;
    vexu::HidHandle handle;
    std::string name;
};

// A programmer box that the last enumeration found but could not open.
struct BoxRefusal {
    std::string path;
    vexu::HidOpenError error;
};

// What stands in the way, for the user: "the programmer box /dev/hidraw3
// is in use by another program", or why it cannot be opened and what grants
// access.
std::string DescribeRefusal(const BoxRefusal& refusal);

class CDevManage {
public:
    // The HID services to use; must be set before Start (the hidapi backend
    // for real boxes, the simulator otherwise). Not owned.
    static void SetBackend(vexu::HidBackend* backend);
    // Only the interface at this path is taken for a box (empty: the first
    // free box found). Set before Start.
    static void SetBoxPath(const std::string& path);
    static std::string BoxPath();
    static vexu::HidBackend* Backend();

    static void Start(unsigned short vendorId, unsigned short productId,
                      vexu::MessageTarget* notifyWindow);
    static void End();
    static int OnDeviceChange(unsigned message, vexu::WPARAM event, const DevBroadcast* record);
    // Turns a hot-plug event into the device-change notification it stands
    // for and hands it to OnDeviceChange. Call on the window's thread.
    static int OnHotplug(const vexu::HotplugEvent& event);
    // Enumerates and opens the first free box. An interface that has just
    // arrived (arrivedPath) may not be ready for its user yet: its open is
    // retried for about a second; no other is.
    static int FindDevice(const std::string& arrivedPath = {});
    // The boxes the last enumeration passed over because they could not be
    // opened (in use by another program, not permitted, ...).
    static std::vector<BoxRefusal> Refusals();
    // How many times the held box was lost so far: a failed transfer or its
    // removal. A run compares it before and after a step to tell a lost box
    // from a failure of the board.
    static uint64_t LinkLosses();
    static vexu::HidHandle GetHandle();
    static bool HidD_SetFeatureEx(vexu::HidHandle handle, void* report, unsigned long length);
    static bool HidD_GetFeatureEx(vexu::HidHandle handle, void* report, unsigned long length);

private:
    static vexu::HidBackend* backend_;
    static std::string boxPath_;
    static uint16_t vendorId_;
    static uint16_t productId_;
    static vexu::MessageTarget* notifyWindow_;
    static std::atomic<int> started_;
    static vexu::HidHandle deviceHandle_;
    static int interfaceNotify_;  // 1 while arrivals of HID interfaces are followed
    static int handleNotify_;     // 1 while the removal of deviceHandle is followed
    static int deviceIndex_;
    static int interfaceCount_;
    static std::vector<BoxRefusal> refusals_;
    static std::atomic<uint64_t> linkLosses_;
    static std::mutex lock_;
};
