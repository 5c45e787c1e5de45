#include <map>
#include <mutex>
#include <vector>

#include "platform/windows/win_hid.h"

namespace vexu::win {

namespace {

thread_local HidOpenError t_lastOpenError = HidOpenError::kNone;

struct OpenErrorEntry {
    DWORD windowsError;
    HidOpenError error;
};

// CreateFileA's refusals. Without sharing, a box that another program has
// open refuses with a sharing violation.
constexpr OpenErrorEntry kOpenErrors[] = {
    {ERROR_SHARING_VIOLATION, HidOpenError::kInUse},
    {ERROR_ACCESS_DENIED, HidOpenError::kDenied},
    {ERROR_FILE_NOT_FOUND, HidOpenError::kMissing},
    {ERROR_PATH_NOT_FOUND, HidOpenError::kMissing},
    {ERROR_DEV_NOT_EXIST, HidOpenError::kMissing},
    {ERROR_DEVICE_NOT_CONNECTED, HidOpenError::kMissing},
};

// The serial number as HidD_GetSerialNumberString gives it: wide
// characters, at most 126 and a terminating zero.
constexpr ULONG kSerialBufferBytes = 127 * sizeof(wchar_t);

std::string Utf8FromWide(const wchar_t* text, size_t length) {
    if (length == 0) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr, nullptr);
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Four hex digits after the first occurrence of key; false when not there.
bool HexAfter(std::string_view path, std::string_view key, uint16_t& value) {
    const size_t at = path.find(key);
    if (at == std::string_view::npos || at + key.size() + 4 > path.size()) return false;
    uint32_t number = 0;
    for (size_t i = at + key.size(); i < at + key.size() + 4; ++i) {
        const int digit = HexDigit(path[i]);
        if (digit < 0) return false;
        number = number << 4 | static_cast<uint32_t>(digit);
    }
    value = static_cast<uint16_t>(number);
    return true;
}

class WinHidBackend final : public HidBackend {
public:
    explicit WinHidBackend(WinHidSystem& system) : system_(system) {}
    ~WinHidBackend() override {
        for (auto& [handle, open] : open_) system_.CloseHandle(open.handle);
    }

    bool Enumerate(std::vector<HidDeviceInfo>& devices) override {
        devices.clear();
        GUID hidGuid;
        system_.HidD_GetHidGuid(&hidGuid);
        HDEVINFO set = system_.SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) return false;
        for (DWORD i = 0;; ++i) {
            SP_DEVINFO_DATA device{};
            device.cbSize = sizeof device;
            if (!system_.SetupDiEnumDeviceInfo(set, i, &device)) break;
            HidDeviceInfo info;
            for (DWORD j = 0;; ++j) {
                SP_DEVICE_INTERFACE_DATA interfaceData{};
                interfaceData.cbSize = sizeof interfaceData;
                if (!system_.SetupDiEnumDeviceInterfaces(set, &device, &hidGuid, j, &interfaceData)) break;
                HidInterfaceInfo entry;
                entry.path = InterfacePath(set, interfaceData);
                // An interface whose details cannot be read ends the walk
                // over its device: it is listed without a path.
                const bool readable = !entry.path.empty();
                if (readable) {
                    entry.idsKnown = IdsFromInterfacePath(entry.path, entry.vendorId, entry.productId);
                    entry.serial = Serial(entry.path);
                }
                info.interfaces.push_back(std::move(entry));
                if (!readable) break;
            }
            devices.push_back(std::move(info));
        }
        system_.SetupDiDestroyDeviceInfoList(set);
        return true;
    }

    // Read and write access and no sharing: while the box is open here,
    // every other program (and a second one of ours) is refused with a
    // sharing violation instead of interleaving its reports with a run.
    HidHandle Open(const std::string& path) override {
        t_lastOpenError = HidOpenError::kMissing;
        if (path.empty()) return 0;
        HANDLE device = system_.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                            nullptr);
        if (device == INVALID_HANDLE_VALUE) {
            t_lastOpenError = OpenErrorFromWindows(system_.GetLastError());
            return 0;
        }
        t_lastOpenError = HidOpenError::kNone;
        std::lock_guard<std::mutex> guard(mutex_);
        const HidHandle handle = nextHandle_++;
        open_[handle] = {device, NormalizeInterfacePath(path)};
        return handle;
    }

    HidOpenError LastOpenError() const override { return t_lastOpenError; }

    bool GetAttributes(HidHandle handle, uint16_t& vendorId, uint16_t& productId) override {
        HANDLE device = Find(handle);
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        if (device == INVALID_HANDLE_VALUE || !system_.HidD_GetAttributes(device, &attributes)) return false;
        vendorId = attributes.VendorID;
        productId = attributes.ProductID;
        return true;
    }

    bool SetFeature(HidHandle handle, const uint8_t* report, size_t length) override {
        HANDLE device = Find(handle);
        if (device == INVALID_HANDLE_VALUE || length == 0 || length > MAXDWORD) return false;
        // HidD_SetFeature only reads the buffer.
        return system_.HidD_SetFeature(device, const_cast<uint8_t*>(report), static_cast<ULONG>(length));
    }

    // The HID class driver fails a fetch that the box does not answer; the
    // number of bytes an answer carried is not reported to the caller.
    bool GetFeature(HidHandle handle, uint8_t* report, size_t length) override {
        HANDLE device = Find(handle);
        if (device == INVALID_HANDLE_VALUE || length == 0 || length > MAXDWORD) return false;
        return system_.HidD_GetFeature(device, report, static_cast<ULONG>(length));
    }

    void Close(HidHandle handle) override {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = open_.find(handle);
        if (it == open_.end()) return;
        system_.CloseHandle(it->second.handle);
        open_.erase(it);
    }

    std::string PathOf(HidHandle handle) override {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = open_.find(handle);
        return it == open_.end() ? std::string() : it->second.path;
    }

private:
    struct OpenDevice {
        HANDLE handle;
        std::string path;
    };

    // The interface's device path, normalized; empty when its details
    // cannot be read.
    std::string InterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData) {
        DWORD required = 0;
        system_.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return {};
        // The record is a size field and the path after it; its buffer is
        // aligned for the size field.
        std::vector<DWORD> buffer((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!system_.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required, nullptr, nullptr))
            return {};
        const char* path = detail->DevicePath;
        const size_t room = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        return NormalizeInterfacePath(std::string_view(path, strnlen(path, room)));
    }

    // Asked through an open for neither reading nor writing, with
    // everything shared: it locks nobody out, and a box that another
    // program holds still tells its serial.
    std::string Serial(const std::string& path) {
        HANDLE device = system_.CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE) return {};
        wchar_t serial[kSerialBufferBytes / sizeof(wchar_t) + 1] = {};
        std::string text;
        if (system_.HidD_GetSerialNumberString(device, serial, kSerialBufferBytes))
            text = Utf8FromWide(serial, wcsnlen(serial, kSerialBufferBytes / sizeof(wchar_t)));
        system_.CloseHandle(device);
        return text;
    }

    HANDLE Find(HidHandle handle) {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = open_.find(handle);
        return it == open_.end() ? INVALID_HANDLE_VALUE : it->second.handle;
    }

    WinHidSystem& system_;
    std::mutex mutex_;
    std::map<HidHandle, OpenDevice> open_;
    HidHandle nextHandle_ = 1;
};

}  // namespace

std::unique_ptr<HidBackend> MakeWinHidBackend(WinHidSystem& system) { return std::make_unique<WinHidBackend>(system); }

std::string NormalizeInterfacePath(std::string_view path) {
    std::string out(path);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool IdsFromInterfacePath(std::string_view path, uint16_t& vendorId, uint16_t& productId) {
    const std::string lower = NormalizeInterfacePath(path);
    uint16_t vendor = 0;
    uint16_t product = 0;
    if (!HexAfter(lower, "vid_", vendor) || !HexAfter(lower, "pid_", product)) return false;
    vendorId = vendor;
    productId = product;
    return true;
}

HidOpenError OpenErrorFromWindows(DWORD error) {
    for (const OpenErrorEntry& entry : kOpenErrors)
        if (entry.windowsError == error) return entry.error;
    return HidOpenError::kFailed;
}

}  // namespace vexu::win
