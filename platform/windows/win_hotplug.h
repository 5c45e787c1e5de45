// Hot-plug on Windows: the arrival and removal of HID interfaces, from the
// device-change notifications (WM_DEVICECHANGE) that a message-only window
// of the monitor's own thread registers for.
#pragma once

#include <memory>

#include "platform/hotplug.h"

namespace vexu::win {

// The class name of the monitor's window (tests find it by this name).
inline constexpr const char* kHotplugWindowClass = "VexuHidHotplugWindow";

std::unique_ptr<HotplugMonitor> MakeDeviceChangeMonitor();

}  // namespace vexu::win
