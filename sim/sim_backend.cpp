#include "sim/sim_backend.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <cstdio>
#include <thread>

#include "platform/clock.h"

namespace vexu::sim {

// --- Hot-plug --------------------------------------------------------------

namespace {

// The delivery thread of one monitor and its queue.
class MonitorCore {
public:
    explicit MonitorCore(HotplugMonitor::Callback callback) : callback_(std::move(callback)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~MonitorCore() { Stop(); }

    void Post(const HotplugEvent& event) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stopping_) return;
        queue_.push_back(event);
        wake_.notify_all();
    }
    void WaitIdle() {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || (queue_.empty() && !delivering_); });
    }
    void Stop() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stopping_ = true;
            queue_.clear();
            wake_.notify_all();
        }
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            HotplugEvent event = queue_.front();
            queue_.pop_front();
            delivering_ = true;
            lock.unlock();
            callback_(event);
            lock.lock();
            delivering_ = false;
            wake_.notify_all();
        }
    }

    HotplugMonitor::Callback callback_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<HotplugEvent> queue_;
    bool delivering_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace

// Shared by a backend and its monitors, so that either may go first.
class HotplugHub {
public:
    void Add(const std::shared_ptr<MonitorCore>& core) {
        std::lock_guard<std::mutex> guard(mutex_);
        cores_.push_back(core);
    }
    void Remove(const std::shared_ptr<MonitorCore>& core) {
        std::lock_guard<std::mutex> guard(mutex_);
        std::erase(cores_, core);
    }
    void Publish(const HotplugEvent& event) {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& core : cores_) core->Post(event);
    }
    std::vector<std::shared_ptr<MonitorCore>> Cores() {
        std::lock_guard<std::mutex> guard(mutex_);
        return cores_;
    }

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<MonitorCore>> cores_;
};

namespace {

class SimHotplugMonitor final : public HotplugMonitor {
public:
    explicit SimHotplugMonitor(std::shared_ptr<HotplugHub> hub) : hub_(std::move(hub)) {}
    ~SimHotplugMonitor() override { Stop(); }

    bool Start(Callback callback) override {
        if (core_ || !callback) return false;
        core_ = std::make_shared<MonitorCore>(std::move(callback));
        hub_->Add(core_);
        return true;
    }
    void Stop() override {
        if (!core_) return;
        hub_->Remove(core_);
        core_->Stop();
        core_.reset();
    }

private:
    std::shared_ptr<HotplugHub> hub_;
    std::shared_ptr<MonitorCore> core_;
};

}  // namespace

// --- Backend ---------------------------------------------------------------

namespace {
thread_local HidOpenError t_lastOpenError = HidOpenError::kNone;
}  // namespace

SimBackend::SimBackend(std::unique_ptr<SimBox> box, UsbSettings usb, bool plugged)
    : usb_(usb), hub_(std::make_shared<HotplugHub>()), startUs_(GetClock().NowUs()) {
    AddBox(box ? std::move(box) : std::make_unique<SimBox>(), plugged);
}

SimBackend::~SimBackend() = default;

std::string SimBackend::BoxPath(size_t box) {
    return box == 0 ? std::string(kBoxPath) : std::string(kBoxPath) + "-" + std::to_string(box + 1);
}

void SimBackend::AddBox(std::unique_ptr<SimBox> box, bool plugged) {
    std::lock_guard<std::mutex> guard(mutex_);
    const size_t number = boxSlots_.size();
    char serial[16];
    snprintf(serial, sizeof serial, "SIM%04zu", number + 1);
    Slot slot{BoxPath(number), kSimBoxVendorId, kSimBoxProductId, std::move(box), false, 0,
              "sim-" + std::to_string(number + 1), serial};
    boxSlots_.push_back(slots_.size());
    slots_.push_back(std::move(slot));
    if (plugged) SetPresent(slots_.back(), true);
}

size_t SimBackend::BoxCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return boxSlots_.size();
}

void SimBackend::AddForeignDevice(uint16_t vendorId, uint16_t productId) {
    std::lock_guard<std::mutex> guard(mutex_);
    // Listed before the boxes, as a keyboard or mouse often is.
    const size_t at = boxSlots_.front();
    Slot slot{"sim://hid-" + std::to_string(slots_.size()), vendorId, productId, nullptr, true, 1, "sim-other",
              ""};
    slots_.insert(slots_.begin() + static_cast<std::ptrdiff_t>(at), std::move(slot));
    for (size_t& index : boxSlots_) ++index;
}

bool SimBackend::Enumerate(std::vector<HidDeviceInfo>& devices) {
    std::lock_guard<std::mutex> guard(mutex_);
    devices.clear();
    for (const Slot& slot : slots_) {
        if (!slot.present) continue;
        HidInterfaceInfo interface;
        interface.path = slot.path;
        interface.idsKnown = true;
        interface.vendorId = slot.vendorId;
        interface.productId = slot.productId;
        interface.serial = slot.serial;
        interface.location = slot.location;
        devices.push_back(HidDeviceInfo{{std::move(interface)}});
    }
    return true;
}

HidHandle SimBackend::Open(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    t_lastOpenError = HidOpenError::kMissing;
    for (const Slot& slot : slots_) {
        if (slot.path != path || !slot.present) continue;
        if (slot.box && openRefusal_ != HidOpenError::kNone) {
            t_lastOpenError = openRefusal_;
            return 0;
        }
        // Exclusive: one open handle per present interface.
        for (const auto& [handle, open] : handles_) {
            if (open.path == path && open.generation == slot.generation) {
                t_lastOpenError = HidOpenError::kInUse;
                return 0;
            }
        }
        const HidHandle handle = nextHandle_++;
        handles_[handle] = {path, slot.generation};
        t_lastOpenError = HidOpenError::kNone;
        return handle;
    }
    return 0;
}

HidOpenError SimBackend::LastOpenError() const { return t_lastOpenError; }

SimBackend::Slot* SimBackend::LiveSlot(HidHandle handle) {
    auto it = handles_.find(handle);
    if (it == handles_.end()) return nullptr;
    for (Slot& slot : slots_)
        if (slot.path == it->second.path) return slot.present && slot.generation == it->second.generation ? &slot : nullptr;
    return nullptr;
}

bool SimBackend::GetAttributes(HidHandle handle, uint16_t& vendorId, uint16_t& productId) {
    std::lock_guard<std::mutex> guard(mutex_);
    const Slot* slot = LiveSlot(handle);
    if (!slot) return false;
    vendorId = slot->vendorId;
    productId = slot->productId;
    return true;
}

void SimBackend::Close(HidHandle handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    handles_.erase(handle);
}

std::string SimBackend::PathOf(HidHandle handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = handles_.find(handle);
    return it == handles_.end() ? std::string() : it->second.path;
}

bool SimBackend::SetFeature(HidHandle handle, const uint8_t* report, size_t length) {
    return Transfer(handle, true, const_cast<uint8_t*>(report), length);
}

bool SimBackend::GetFeature(HidHandle handle, uint8_t* report, size_t length) {
    return Transfer(handle, false, report, length);
}

bool SimBackend::Transfer(HidHandle handle, bool write, uint8_t* report, size_t length) {
    std::lock_guard<std::mutex> guard(mutex_);
    Slot* slot = LiveSlot(handle);
    if (slot) CheckUnplugAfter(*slot);
    slot = LiveSlot(handle);
    if (!slot || !report) {
        ++counters_.failedTransfers;
        return false;
    }
    ++counters_.transfers;
    counters_.latencyUs += usb_.latencyUs;
    // Whole milliseconds sleep (in real time a spin would burn a core for
    // every report), the rest is waited out.
    GetClock().SleepMs(static_cast<uint32_t>(usb_.latencyUs / 1000));
    GetClock().BusyWaitUs(usb_.latencyUs % 1000);
    bool ok;
    if (usb_.failReport && counters_.transfers == *usb_.failReport) {
        ok = false;  // lost on the bus; the box never sees it
    } else if (!slot->box) {
        ok = false;
    } else {
        ok = write ? slot->box->WriteReport(report, length) : slot->box->FetchReport(report, length);
        if (ok && !write && usb_.corruptFetch && counters_.transfers >= *usb_.corruptFetch && length > 16) {
            report[16] ^= 0x01;
            usb_.corruptFetch.reset();
        }
    }
    if (!ok) ++counters_.failedTransfers;
    CheckUnplugAfter(*slot);
    return ok;
}

// unplug-after: the box that carried the last of the transfers goes.
void SimBackend::CheckUnplugAfter(Slot& slot) {
    if (usb_.unplugAfter && counters_.transfers >= *usb_.unplugAfter && slot.box) {
        usb_.unplugAfter.reset();
        SetPresent(slot, false);
    }
}

void SimBackend::SetPresent(Slot& slot, bool present) {
    if (slot.present == present) return;
    slot.present = present;
    if (present) {
        ++slot.generation;
        ++counters_.plugs;
        slot.box->PowerUp();
    } else {
        ++counters_.unplugs;
    }
    hub_->Publish({present ? HotplugEvent::Kind::Arrival : HotplugEvent::Kind::Removal, slot.path});
}

void SimBackend::Plug(size_t box) {
    std::lock_guard<std::mutex> guard(mutex_);
    SetPresent(slots_[boxSlots_.at(box)], true);
}

void SimBackend::Unplug(size_t box) {
    std::lock_guard<std::mutex> guard(mutex_);
    SetPresent(slots_[boxSlots_.at(box)], false);
}

bool SimBackend::Plugged(size_t box) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return slots_[boxSlots_.at(box)].present;
}

void SimBackend::SetOpenRefusal(HidOpenError refusal) {
    std::lock_guard<std::mutex> guard(mutex_);
    openRefusal_ = refusal;
}

void SimBackend::SetUsbSettings(const UsbSettings& usb) {
    std::lock_guard<std::mutex> guard(mutex_);
    usb_ = usb;
}

UsbCounters SimBackend::Counters() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return counters_;
}

uint64_t SimBackend::ModelledTimeUs() const { return GetClock().NowUs() - startUs_; }

std::unique_ptr<HotplugMonitor> SimBackend::MakeHotplugMonitor() {
    return std::make_unique<SimHotplugMonitor>(hub_);
}

void SimBackend::WaitForHotplugDelivery() {
    for (const auto& core : hub_->Cores()) core->WaitIdle();
}

}  // namespace vexu::sim
