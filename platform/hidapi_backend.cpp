#include "platform/hidapi_backend.h"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <libudev.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cwchar>
#include <map>
#include <mutex>

namespace vexu {

namespace {

thread_local HidOpenError t_lastOpenError = HidOpenError::kNone;

HidOpenError OpenErrorFromErrno(int error) {
    switch (error) {
        case EACCES:
        case EPERM: return HidOpenError::kDenied;
        case ENOENT:
        case ENODEV:
        case ENXIO: return HidOpenError::kMissing;
        case EWOULDBLOCK: return HidOpenError::kInUse;
        default: return HidOpenError::kFailed;
    }
}

// hidapi gives strings as wide characters (UTF-32 here).
std::string Utf8(const wchar_t* text) {
    std::string out;
    for (; text && *text; ++text) {
        const auto c = static_cast<uint32_t>(*text);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x110000) {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Where the node's device is plugged in: the USB device's port path in sysfs
// ("1-2.3": bus 1, port 2 of the root hub, port 3 of the hub behind it),
// which a box keeps when it is plugged into the same socket again; for a
// HID device without a USB parent, the HID core's physical path.
std::string NodeLocation(udev* context, const std::string& node) {
    struct stat status {};
    if (!context || stat(node.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) return {};
    udev_device* device = udev_device_new_from_devnum(context, 'c', status.st_rdev);
    if (!device) return {};
    std::string location;
    if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device")) {
        if (const char* name = udev_device_get_sysname(usb)) location = name;
    } else if (udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr)) {
        if (const char* phys = udev_device_get_property_value(hid, "HID_PHYS")) location = phys;
    }
    udev_device_unref(device);
    return location;
}

class HidapiBackend final : public HidBackend {
public:
    HidapiBackend() { initialised_ = hid_init() == 0; }
    ~HidapiBackend() override {
        for (auto& [handle, open] : open_) {
            hid_close(open.device);
            close(open.lockFd);
        }
        if (initialised_) hid_exit();
    }

    bool Enumerate(std::vector<HidDeviceInfo>& devices) override {
        devices.clear();
        if (!initialised_) return false;
        hid_device_info* list = hid_enumerate(0, 0);
        udev* context = udev_new();
        // hidraw has one node per HID interface; each is listed as a device
        // of its own with one interface. The list reads the ids from sysfs,
        // so nothing has to be opened to know which node is a box.
        for (hid_device_info* info = list; info; info = info->next) {
            HidInterfaceInfo interface;
            interface.path = info->path ? info->path : "";
            interface.idsKnown = true;
            interface.vendorId = info->vendor_id;
            interface.productId = info->product_id;
            interface.serial = Utf8(info->serial_number);
            interface.location = NodeLocation(context, interface.path);
            devices.push_back(HidDeviceInfo{{std::move(interface)}});
        }
        if (context) udev_unref(context);
        hid_free_enumeration(list);
        return true;
    }

    // The node is held by an exclusive advisory lock on a descriptor of our
    // own for as long as the handle is open: every program of this system
    // takes it, so a second one is refused instead of interleaving its
    // reports with a run in progress.
    HidHandle Open(const std::string& path) override {
        t_lastOpenError = HidOpenError::kFailed;
        if (!initialised_) return 0;
        if (path.empty()) {
            t_lastOpenError = HidOpenError::kMissing;
            return 0;
        }
        const int lockFd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (lockFd < 0) {
            t_lastOpenError = OpenErrorFromErrno(errno);
            return 0;
        }
        if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
            t_lastOpenError = OpenErrorFromErrno(errno);
            close(lockFd);
            return 0;
        }
        hid_device* device = hid_open_path(path.c_str());
        if (!device) {
            close(lockFd);
            return 0;
        }
        t_lastOpenError = HidOpenError::kNone;
        std::lock_guard<std::mutex> guard(mutex_);
        HidHandle handle = nextHandle_++;
        open_[handle] = {device, lockFd, path};
        return handle;
    }

    HidOpenError LastOpenError() const override { return t_lastOpenError; }

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

    // A shorter answer than the report is a failed transfer: the rest of
    // the buffer would be read as if the box had sent zeros.
    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override {
        hid_device* device = Find(handle);
        return device && hid_get_feature_report(device, report, length) == static_cast<int>(length);
    }

    void Close(HidHandle handle) override {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = open_.find(handle);
        if (it == open_.end()) return;
        hid_close(it->second.device);
        close(it->second.lockFd);
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
        int lockFd;
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
