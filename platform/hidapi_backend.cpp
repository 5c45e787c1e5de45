#include "platform/hidapi_backend.h"

#include <hidapi/hidapi.h>

#include <map>
#include <mutex>

#include "platform/open_retry.h"

namespace vexu {

namespace {

class HidapiBackend final : public HidBackend {
public:
    HidapiBackend() { initialised_ = hid_init() == 0; }
    ~HidapiBackend() override {
        for (auto& [handle, open] : open_) hid_close(open.device);
        if (initialised_) hid_exit();
    }

    bool Enumerate(std::vector<HidDeviceInfo>& devices) override {
        devices.clear();
        if (!initialised_) return false;
        hid_device_info* list = hid_enumerate(0, 0);
        // hidraw has one node per HID interface; each is listed as a device
        // of its own with one interface.
        for (hid_device_info* info = list; info; info = info->next) {
            HidDeviceInfo device;
            device.interfaces.push_back({info->path ? info->path : ""});
            devices.push_back(std::move(device));
        }
        hid_free_enumeration(list);
        return true;
    }

    HidHandle Open(const std::string& path) override {
        if (!initialised_ || path.empty()) return 0;
        // A just-arrived hidraw node may not have its permissions yet.
        hid_device* device = OpenWithRetries([&] { return hid_open_path(path.c_str()); });
        if (!device) return 0;
        std::lock_guard<std::mutex> guard(mutex_);
        HidHandle handle = nextHandle_++;
        open_[handle] = {device, path};
        return handle;
    }

    bool GetAttributes(HidHandle handle, uint16_t& vendorId, uint16_t& productId) override {
        hid_device* device = Find(handle);
        if (!device) return false;
        hid_device_info* info = hid_get_device_info(device);
        if (!info) return false;
        vendorId = info->vendor_id;
        productId = info->product_id;
        return true;
    }

    bool SetFeature(HidHandle handle, const uint8_t* report, size_t length) override {
        hid_device* device = Find(handle);
        return device && hid_send_feature_report(device, report, length) == static_cast<int>(length);
    }

    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override {
        hid_device* device = Find(handle);
        return device && hid_get_feature_report(device, report, length) > 0;
    }

    void Close(HidHandle handle) override {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = open_.find(handle);
        if (it == open_.end()) return;
        hid_close(it->second.device);
        open_.erase(it);
    }

    std::string PathOf(HidHandle handle) override {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = open_.find(handle);
        return it == open_.end() ? std::string() : it->second.path;
    }

private:
    struct OpenDevice {
        hid_device* device;
        std::string path;
    };

    hid_device* Find(HidHandle handle) {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = open_.find(handle);
        return it == open_.end() ? nullptr : it->second.device;
    }

    bool initialised_ = false;
    std::mutex mutex_;
    std::map<HidHandle, OpenDevice> open_;
    HidHandle nextHandle_ = 1;
};

}  // namespace

std::unique_ptr<HidBackend> MakeHidapiBackend() { return std::make_unique<HidapiBackend>(); }

}  // namespace vexu
