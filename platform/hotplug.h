// Hot-plug notifications: arrival and removal of HID interfaces. A monitor
// calls its callback from its own thread; the owner of the window forwards
// the event to its thread and hands it to the device manager there.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace vexu {

struct HotplugEvent {
    enum class Kind { Arrival, Removal };
    Kind kind;
    std::string path;  // the interface's path as the HID backend names it
};

class HotplugMonitor {
public:
    using Callback = std::function<void(const HotplugEvent&)>;
    virtual ~HotplugMonitor() = default;
    // Starts delivering events; returns false when monitoring is impossible.
    virtual bool Start(Callback callback) = 0;
    // Stops and joins; no callback runs after it returns.
    virtual void Stop() = 0;
};

// libudev monitor on the hidraw subsystem, falling back to periodic
// re-enumeration of /dev/hidraw* when no udev events can be had.
std::unique_ptr<HotplugMonitor> MakeUdevHotplugMonitor();

}  // namespace vexu
