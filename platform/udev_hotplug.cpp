#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <dirent.h>
#include <set>
#include <thread>

#include "platform/hotplug.h"

namespace vexu {

namespace {

constexpr int kPollMs = 250;
// The control socket udevd listens on while it runs.
constexpr const char* kUdevdControl = "/run/udev/control";
// Without udev events, /dev is re-read this often.
constexpr int kRescanEveryPolls = 4;

std::set<std::string> ListHidrawNodes() {
    std::set<std::string> nodes;
    if (DIR* dir = opendir("/dev")) {
        while (dirent* entry = readdir(dir)) {
            if (strncmp(entry->d_name, "hidraw", 6) == 0) nodes.insert(std::string("/dev/") + entry->d_name);
        }
        closedir(dir);
    }
    return nodes;
}

class UdevHotplugMonitor final : public HotplugMonitor {
public:
    ~UdevHotplugMonitor() override { Stop(); }

    bool Start(Callback callback) override {
        Stop();
        callback_ = std::move(callback);
        udev_ = udev_new();
        if (udev_) {
            // Where udevd runs, its events come after the rules have given the
            // node its permissions; where none runs (a container, a minimal
            // system) the "udev" source would stay silent, so the kernel's
            // own events are taken.
            const bool udevdRuns = access(kUdevdControl, F_OK) == 0;
            monitor_ = udev_monitor_new_from_netlink(udev_, udevdRuns ? "udev" : "kernel");
            if (!monitor_ && udevdRuns) monitor_ = udev_monitor_new_from_netlink(udev_, "kernel");
            if (monitor_) {
                udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr);
                if (udev_monitor_enable_receiving(monitor_) != 0) {
                    udev_monitor_unref(monitor_);
                    monitor_ = nullptr;
                }
            }
        }
        known_ = ListHidrawNodes();
        running_ = true;
        thread_ = std::thread([this] { Run(); });
        return true;
    }

    void Stop() override {
        running_ = false;
        if (thread_.joinable()) thread_.join();
        if (monitor_) udev_monitor_unref(monitor_);
        if (udev_) udev_unref(udev_);
        monitor_ = nullptr;
        udev_ = nullptr;
    }

private:
    void Run() {
        int polls = 0;
        while (running_) {
            bool readUdev = false;
            if (monitor_) {
                pollfd fd{udev_monitor_get_fd(monitor_), POLLIN, 0};
                readUdev = poll(&fd, 1, kPollMs) > 0;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            }
            if (readUdev) {
                // The kernel source wakes on unrelated events and may then
                // give no device: tolerate it.
                if (udev_device* device = udev_monitor_receive_device(monitor_)) {
                    const char* action = udev_device_get_action(device);
                    const char* node = udev_device_get_devnode(device);
                    if (action && node) Deliver(action, node);
                    udev_device_unref(device);
                }
            }
            if (++polls % kRescanEveryPolls == 0) Rescan();
        }
    }

    void Deliver(const std::string& action, const std::string& node) {
        if (action == "add" && known_.insert(node).second) {
            callback_({HotplugEvent::Kind::Arrival, node});
        } else if (action == "remove" && known_.erase(node)) {
            callback_({HotplugEvent::Kind::Removal, node});
        }
    }

    void Rescan() {
        std::set<std::string> now = ListHidrawNodes();
        for (const auto& node : known_)
            if (!now.count(node)) callback_({HotplugEvent::Kind::Removal, node});
        for (const auto& node : now)
            if (!known_.count(node)) callback_({HotplugEvent::Kind::Arrival, node});
        known_ = std::move(now);
    }

    Callback callback_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    std::set<std::string> known_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<HotplugMonitor> MakeUdevHotplugMonitor() { return std::make_unique<UdevHotplugMonitor>(); }

}  // namespace vexu
