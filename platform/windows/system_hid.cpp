#include "platform/system_hid.h"

#include "platform/windows/win_hid.h"
#include "platform/windows/win_hotplug.h"

namespace vexu {

std::unique_ptr<HidBackend> MakeSystemHidBackend() { return win::MakeWinHidBackend(win::SystemCalls()); }

std::unique_ptr<HotplugMonitor> MakeSystemHotplugMonitor() { return win::MakeDeviceChangeMonitor(); }

// Windows gives HID devices to every user; an interface that refuses access
// is one the system holds for itself, and nothing grants it.
const char* HidAccessHint() { return ""; }

}  // namespace vexu
