#include "link/dev_manage.h"

#include <cinttypes>
#include <vector>

#include "link/report_log.h"
#include "platform/clock.h"
#include "platform/system_hid.h"
#include "platform/trace.h"

using vexu::HidHandle;

vexu::HidBackend* CDevManage::backend_ = nullptr;
std::string CDevManage::boxPath_;
uint16_t CDevManage::vendorId_ = 0;
uint16_t CDevManage::productId_ = 0;
vexu::MessageTarget* CDevManage::notifyWindow_ = nullptr;
std::atomic<int> CDevManage::started_{0};
HidHandle CDevManage::deviceHandle_ = 0;
vexu::HidInterfaceInfo CDevManage::heldBox_;
int CDevManage::interfaceNotify_ = 0;
int CDevManage::handleNotify_ = 0;
int CDevManage::deviceIndex_ = 0;
int CDevManage::interfaceCount_ = 0;
std::vector<BoxRefusal> CDevManage::refusals_;
std::atomic<uint64_t> CDevManage::linkLosses_{0};
std::mutex CDevManage::lock_;

namespace {

// A node that has just arrived may not carry its permissions yet (the
// device manager of the desktop applies them a moment later).
constexpr int kArrivalOpenTries = 10;
constexpr uint32_t kArrivalOpenRetryMs = 100;

// Guards refusals_ alone; taken only for the copy in or out.
std::mutex g_refusalsMutex;

void PostTo(vexu::MessageTarget* window, uint32_t message, vexu::WPARAM w, vexu::LPARAM l) {
    if (window) window->Post(message, w, l);
}

bool Retriable(vexu::HidOpenError error) {
    return error == vexu::HidOpenError::kDenied || error == vexu::HidOpenError::kFailed;
}

// Opens one interface; a just-arrived one is given a second chance for
// about a second when it refuses in a way that may pass.
HidHandle OpenInterface(vexu::HidBackend& backend, const std::string& path, bool justArrived,
                        vexu::HidOpenError& error) {
    for (int attempt = 1;; ++attempt) {
        const HidHandle handle = backend.Open(path);
        error = handle ? vexu::HidOpenError::kNone : backend.LastOpenError();
        if (handle || !justArrived || !Retriable(error) || attempt == kArrivalOpenTries) return handle;
        vexu::GetClock().SleepMs(kArrivalOpenRetryMs);
    }
}

}  // namespace

std::string DescribeRefusal(const BoxRefusal& refusal) {
    const std::string box = "the programmer box " + refusal.path;
    switch (refusal.error) {
        case vexu::HidOpenError::kInUse: return box + " is in use by another program";
        case vexu::HidOpenError::kDenied: {
            std::string text = "cannot open " + box + ": permission denied";
            const std::string hint = vexu::HidAccessHint();
            return hint.empty() ? text : text + "; " + hint;
        }
        default: return "cannot open " + box + ": " + vexu::HidOpenErrorText(refusal.error);
    }
}

void CDevManage::SetBackend(vexu::HidBackend* backend) { backend_ = backend; }

void CDevManage::SetBoxPath(const std::string& path) { boxPath_ = path; }

std::string CDevManage::BoxPath() { return boxPath_; }

vexu::HidBackend* CDevManage::Backend() { return backend_; }

void CDevManage::Start(unsigned short vendorId, unsigned short productId,
                       vexu::MessageTarget* notifyWindow) {
    vendorId_ = vendorId;
    productId_ = productId;
    notifyWindow_ = notifyWindow;
    started_ = 1;
    interfaceNotify_ = 1;
    FindDevice();
    if (GetHandle() == 0) PostTo(notifyWindow_, vexu::WM_DEVICE_REMOVE, 0, 0);
    vexu::TraceF("CDevManage::Start   VID:0x%X  PID:0x%X\r\n", vendorId, productId);
}

void CDevManage::End() {
    // Transfers that begin after this line fail without touching the handle;
    // one already inside a transfer finishes before the handle is closed.
    started_ = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        interfaceNotify_ = 0;
        handleNotify_ = 0;
        if (deviceHandle_ != 0 && backend_) backend_->Close(deviceHandle_);
        deviceHandle_ = 0;
    }
    vexu::Trace("CDevManage::End\r\n");
}

int CDevManage::FindDevice(const std::string& arrivedPath) {
    if (!backend_) return 0;
    std::vector<vexu::HidDeviceInfo> devices;
    if (!backend_->Enumerate(devices)) return 0;
    deviceIndex_ = 0;
    interfaceCount_ = 0;
    std::vector<BoxRefusal> refusals;
    int walked = 0;
    for (const vexu::HidDeviceInfo& device : devices) {
        for (const vexu::HidInterfaceInfo& interface : device.interfaces) {
            if (interface.path.empty()) break;  // its details could not be read
            const bool listedAsBox =
                interface.idsKnown && interface.vendorId == vendorId_ && interface.productId == productId_;
            // A box chosen by its path: every other interface is passed over.
            if (!boxPath_.empty() && interface.path != boxPath_) {
                ++interfaceCount_;
                continue;
            }
            // Only a box is opened: keyboards, mice and the rest are passed
            // over on what the list says of them, and once a box is held no
            // other is touched (opening it would lock it against the program
            // that wants it).
            if ((interface.idsKnown && !listedAsBox) || deviceHandle_ != 0) {
                ++interfaceCount_;
                continue;
            }
            vexu::HidOpenError error = vexu::HidOpenError::kNone;
            HidHandle handle = OpenInterface(*backend_, interface.path, interface.path == arrivedPath, error);
            if (handle == 0) {
                if (listedAsBox) {
                    refusals.push_back({interface.path, error});
                    vexu::TraceF("CDevManage::FindDevice  %s %s: passed over\r\n", interface.path.c_str(),
                                 vexu::HidOpenErrorText(error));
                }
                break;
            }
            uint16_t vendorId = 0;
            uint16_t productId = 0;
            bool attributes = backend_->GetAttributes(handle, vendorId, productId);
            if (attributes && vendorId == vendorId_ && productId == productId_) {
                {
                    std::lock_guard<std::mutex> guard(g_refusalsMutex);
                    heldBox_ = interface;
                }
                deviceHandle_ = handle;
                PostTo(notifyWindow_, vexu::WM_DEVICE_INSERT,
                       static_cast<vexu::WPARAM>(deviceIndex_ + interfaceCount_),
                       static_cast<vexu::LPARAM>(deviceHandle_));
                vexu::TraceF("DBT_DEVICEARRIVAL 设备已插入  设备端点号:%d  设备接口号:%d  设备句柄:%d\r\n",
                             deviceIndex_, interfaceCount_, static_cast<int>(deviceHandle_));
                handleNotify_ = 1;
                break;
            }
            backend_->Close(handle);
            ++interfaceCount_;
        }
        ++deviceIndex_;
        ++walked;
    }
    std::lock_guard<std::mutex> guard(g_refusalsMutex);
    refusals_ = std::move(refusals);
    return walked;
}

std::vector<BoxRefusal> CDevManage::Refusals() {
    std::lock_guard<std::mutex> guard(g_refusalsMutex);
    return refusals_;
}

uint64_t CDevManage::LinkLosses() { return linkLosses_.load(); }

vexu::HidInterfaceInfo CDevManage::HeldBox() {
    if (GetHandle() == 0) return {};
    std::lock_guard<std::mutex> guard(g_refusalsMutex);
    return heldBox_;
}

int CDevManage::OnDeviceChange(unsigned message, vexu::WPARAM event, const DevBroadcast* record) {
    if (message != vexu::WM_DEVICECHANGE) return 0;
    std::lock_guard<std::mutex> guard(lock_);
    if (!record) return 1;
    if (event == DBT_DEVICEARRIVAL && record->deviceType == DBT_DEVTYP_DEVICEINTERFACE &&
        deviceHandle_ == 0 && interfaceNotify_) {
        FindDevice(record->name);
    } else if (event == DBT_DEVICEREMOVECOMPLETE && record->deviceType == DBT_DEVTYP_HANDLE &&
               record->handle == deviceHandle_ && deviceHandle_ != 0 && handleNotify_) {
        if (backend_) backend_->Close(deviceHandle_);
        deviceHandle_ = 0;
        ++linkLosses_;
        vexu::TraceF("DBT_DEVICEREMOVECOMPLETE 设备已被移除  设备句柄:%d\r\n", static_cast<int>(record->handle));
        PostTo(notifyWindow_, vexu::WM_DEVICE_REMOVE, 0, 0);
        handleNotify_ = 0;
    }
    return 1;
}

int CDevManage::OnHotplug(const vexu::HotplugEvent& event) {
    if (event.kind == vexu::HotplugEvent::Kind::Arrival) {
        DevBroadcast record{DBT_DEVTYP_DEVICEINTERFACE, 0, event.path};
        return OnDeviceChange(vexu::WM_DEVICECHANGE, DBT_DEVICEARRIVAL, &record);
    }
    // A removal names a path; it stands for the removal of the held handle
    // only when that handle was opened from the same path.
    HidHandle held = GetHandle();
    HidHandle removed = 0;
    if (held != 0 && backend_ && backend_->PathOf(held) == event.path) removed = held;
    DevBroadcast record{DBT_DEVTYP_HANDLE, removed, {}};
    return OnDeviceChange(vexu::WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, &record);
}

HidHandle CDevManage::GetHandle() {
    std::lock_guard<std::mutex> guard(lock_);
    return deviceHandle_;
}

namespace {

enum class Direction { Set, Get };

}  // namespace

static bool Transfer(Direction direction, HidHandle handle, void* report, unsigned long length,
                     vexu::HidBackend* backend, HidHandle& deviceHandle, vexu::MessageTarget* window) {
    if (deviceHandle == 0 || !backend) return false;
    auto* bytes = static_cast<uint8_t*>(report);
    bool ok = direction == Direction::Set ? backend->SetFeature(handle, bytes, length)
                                          : backend->GetFeature(handle, bytes, length);
    if (vexu::ReportLogEnabled()) vexu::LogReport(direction == Direction::Set ? "SET" : "GET", bytes, length, ok);
    if (!ok) {
        // The box is gone: forget it once, close what was open, tell the window.
        backend->Close(deviceHandle);
        deviceHandle = 0;
        PostTo(window, vexu::WM_DEVICE_REMOVE, 0, 0);
    }
    return ok;
}

bool CDevManage::HidD_SetFeatureEx(HidHandle handle, void* report, unsigned long length) {
    if (!started_) return false;
    std::lock_guard<std::mutex> guard(lock_);
    const bool held = deviceHandle_ != 0;
    bool ok = Transfer(Direction::Set, handle, report, length, backend_, deviceHandle_, notifyWindow_);
    if (!ok) handleNotify_ = 0;
    if (!ok && held) ++linkLosses_;
    return ok;
}

bool CDevManage::HidD_GetFeatureEx(HidHandle handle, void* report, unsigned long length) {
    if (!started_) return false;
    std::lock_guard<std::mutex> guard(lock_);
    const bool held = deviceHandle_ != 0;
    bool ok = Transfer(Direction::Get, handle, report, length, backend_, deviceHandle_, notifyWindow_);
    if (!ok) handleNotify_ = 0;
    if (!ok && held) ++linkLosses_;
    return ok;
}
