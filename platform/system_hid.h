// The operating system's HID services for real programmer boxes: the HID
// backend and the hot-plug monitor of the platform built for (hidapi over
// hidraw and libudev on Linux; the HID class and device-setup services and
// device-change notifications on Windows).
#pragma once

#include <memory>

#include "platform/hid_backend.h"
#include "platform/hotplug.h"

namespace vexu {

std::unique_ptr<HidBackend> MakeSystemHidBackend();
std::unique_ptr<HotplugMonitor> MakeSystemHotplugMonitor();

// What grants a user access to a box that may not be opened for want of
// permission, said after "permission denied; "; empty when there is
// nothing the user can do about it.
const char* HidAccessHint();

}  // namespace vexu
