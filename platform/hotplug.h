// Hot-plug notifications: arrival and removal of HID interfaces. A monitor
// calls its callback from its own thread; the owner of the window forwards
// the event to its thread and hands it to the device manager there.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
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

// Events handed from a monitor's thread to the thread that acts on them.
class HotplugQueue {
public:
    void Push(const HotplugEvent& event) {
        std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back(event);
    }
    // The oldest event; false when there is none.
    bool Pop(HotplugEvent& event) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (events_.empty()) return false;
        event = events_.front();
        events_.pop_front();
        return true;
    }

private:
    std::mutex mutex_;
    std::deque<HotplugEvent> events_;
};

// libudev monitor on the hidraw subsystem, falling back to periodic
// re-enumeration of /dev/hidraw* when no udev events can be had.
std::unique_ptr<HotplugMonitor> MakeUdevHotplugMonitor();

}  // namespace vexu
