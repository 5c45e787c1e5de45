// The simulated box as a HID backend: it appears among the HID devices as an
// interface with the programmer's ids and answers feature reports through
// the box firmware model. It can be plugged and unplugged at any moment;
// monitors made by it report the arrival and removal. After an unplug every
// transfer on a handle opened before fails, as on a vanished USB device.
// There may be several boxes, each with its own board, path, USB location
// and serial; the calls without a box number concern the first.
//
// Every transfer costs the USB latency on the system clock (virtual time in
// tests and by default on the command line). Thread-safe: transfers,
// plugging and inspection may come from different threads.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/hid_backend.h"
#include "platform/hotplug.h"
#include "sim/sim_box.h"

namespace vexu::sim {

constexpr uint16_t kSimBoxVendorId = 0xA112;
constexpr uint16_t kSimBoxProductId = 0xB112;
constexpr uint64_t kDefaultUsbLatencyUs = 1000;

// Transfer-level behaviour and faults of the USB link.
struct UsbSettings {
    uint64_t latencyUs = kDefaultUsbLatencyUs;  // per control transfer
    std::optional<uint64_t> unplugAfter;         // the box goes away after this many transfers
    std::optional<uint64_t> failReport;          // this transfer (1 = the first) fails
    // The first fetched report at or after this transfer comes back with
    // one data bit flipped (a fault the protocol itself cannot see).
    std::optional<uint64_t> corruptFetch;
};

struct UsbCounters {
    uint64_t transfers = 0;        // transfers that reached the bus
    uint64_t failedTransfers = 0;  // of them, or on a vanished device, that failed
    uint64_t latencyUs = 0;        // modelled USB time
    uint64_t plugs = 0;
    uint64_t unplugs = 0;
};

class HotplugHub;

class SimBackend final : public HidBackend {
public:
    static constexpr const char* kBoxPath = "sim://vexu-box";

    explicit SimBackend(std::unique_ptr<SimBox> box, UsbSettings usb = {}, bool plugged = true);
    // Another box with its own board: box number BoxCount() - 1 after it.
    void AddBox(std::unique_ptr<SimBox> box, bool plugged);
    size_t BoxCount() const;
    // "sim://vexu-box" for the first box, "sim://vexu-box-2", ... after it.
    static std::string BoxPath(size_t box);
    ~SimBackend() override;
    SimBackend(const SimBackend&) = delete;
    SimBackend& operator=(const SimBackend&) = delete;

    bool Enumerate(std::vector<HidDeviceInfo>& devices) override;
    HidHandle Open(const std::string& path) override;
    HidOpenError LastOpenError() const override;
    bool GetAttributes(HidHandle handle, uint16_t& vendorId, uint16_t& productId) override;
    bool SetFeature(HidHandle handle, const uint8_t* report, size_t length) override;
    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override;
    void Close(HidHandle handle) override;
    std::string PathOf(HidHandle handle) override;

    // Plugging powers the box up afresh (the board keeps its state).
    void Plug(size_t box = 0);
    void Unplug(size_t box = 0);
    bool Plugged(size_t box = 0) const;
    // Another HID device that is not a programmer box; it is listed before
    // the box and stalls every report.
    void AddForeignDevice(uint16_t vendorId, uint16_t productId);

    // The box refuses to be opened, as a box held by another program or
    // one whose node this user may not open (kNone: it opens).
    void SetOpenRefusal(HidOpenError refusal);

    void SetUsbSettings(const UsbSettings& usb);
    UsbCounters Counters() const;
    // Time on the system clock since the backend was made: on virtual time,
    // how long the same traffic would take with a real box.
    uint64_t ModelledTimeUs() const;

    // A monitor that reports this backend's plugging, from its own thread.
    std::unique_ptr<HotplugMonitor> MakeHotplugMonitor();
    // Returns once every monitor has delivered the events published so far.
    // Not to be called from a monitor's callback.
    void WaitForHotplugDelivery();

    // Runs f(SimBox&) while no transfer can run; returns what f returns.
    template <typename F>
    auto Inspect(F&& f, size_t box = 0) {
        std::lock_guard<std::mutex> guard(mutex_);
        return f(*slots_[boxSlots_.at(box)].box);
    }
    // The box without the lock, for tests that run on one thread.
    SimBox& Box(size_t box = 0) { return *slots_[boxSlots_.at(box)].box; }

private:
    struct Slot {
        std::string path;
        uint16_t vendorId;
        uint16_t productId;
        std::unique_ptr<SimBox> box;  // null: another HID device, which stalls every report
        bool present;
        uint64_t generation;  // bumps at every plug
        std::string location;
        std::string serial;
    };
    struct OpenHandle {
        std::string path;
        uint64_t generation;
    };

    Slot* LiveSlot(HidHandle handle);
    bool Transfer(HidHandle handle, bool write, uint8_t* report, size_t length);
    void SetPresent(Slot& slot, bool present);
    void CheckUnplugAfter(Slot& slot);

    mutable std::mutex mutex_;
    UsbSettings usb_;
    UsbCounters counters_;
    HidOpenError openRefusal_ = HidOpenError::kNone;
    std::vector<Slot> slots_;          // foreign devices first, then the boxes
    std::vector<size_t> boxSlots_;     // the slot of each box, in box order
    std::map<HidHandle, OpenHandle> handles_;
    HidHandle nextHandle_ = 1;
    std::shared_ptr<HotplugHub> hub_;
    uint64_t startUs_;
};

}  // namespace vexu::sim
