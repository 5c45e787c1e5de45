#include "link/dev_manage.h"

#include <cinttypes>
#include <vector>

#include "link/report_log.h"
#include "platform/trace.h"

using vexu::HidHandle;

vexu::HidBackend* CDevManage::backend_ = nullptr;
uint16_t CDevManage::vendorId_ = 0;
uint16_t CDevManage::productId_ = 0;
vexu::MessageTarget* CDevManage::notifyWindow_ = nullptr;
std::atomic<int> CDevManage::started_{0};
HidHandle CDevManage::deviceHandle_ = 0;
int CDevManage::interfaceNotify_ = 0;
int CDevManage::handleNotify_ = 0;
int CDevManage::deviceIndex_ = 0;
int CDevManage::interfaceCount_ = 0;
std::mutex CDevManage::lock_;

namespace {

void PostTo(vexu::MessageTarget* window, uint32_t message, vexu::WPARAM w, vexu::LPARAM l) {
    if (window) window->Post(message, w, l);
}

}  // namespace

void CDevManage::SetBackend(vexu::HidBackend* backend) { backend_ = backend; }

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

int CDevManage::FindDevice() {
    if (!backend_) return 0;
    std::vector<vexu::HidDeviceInfo> devices;
    if (!backend_->Enumerate(devices)) return 0;
    deviceIndex_ = 0;
    interfaceCount_ = 0;
    int walked = 0;
    for (const vexu::HidDeviceInfo& device : devices) {
        for (const vexu::HidInterfaceInfo& interface : device.interfaces) {
            if (interface.path.empty()) break;  // its details could not be read
            HidHandle handle = backend_->Open(interface.path);
            if (handle == 0) break;
            uint16_t vendorId = 0;
            uint16_t productId = 0;
            bool attributes = backend_->GetAttributes(handle, vendorId, productId);
            if (attributes && vendorId == vendorId_ && productId == productId_ && deviceHandle_ == 0) {
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
    return walked;
}

int CDevManage::OnDeviceChange(unsigned message, vexu::WPARAM event, const DevBroadcast* record) {
    if (message != vexu::WM_DEVICECHANGE) return 0;
    std::lock_guard<std::mutex> guard(lock_);
    if (!record) return 1;
    if (event == DBT_DEVICEARRIVAL && record->deviceType == DBT_DEVTYP_DEVICEINTERFACE &&
        deviceHandle_ == 0 && interfaceNotify_) {
        FindDevice();
    } else if (event == DBT_DEVICEREMOVECOMPLETE && record->deviceType == DBT_DEVTYP_HANDLE &&
               record->handle == deviceHandle_ && deviceHandle_ != 0 && handleNotify_) {
        if (backend_) backend_->Close(deviceHandle_);
        deviceHandle_ = 0;
        vexu::TraceF("DBT_DEVICEREMOVECOMPLETE 设备已被移除  设备句柄:%d\r\n", static_cast<int>(record->handle));
        PostTo(notifyWindow_, vexu::WM_DEVICE_REMOVE, 0, 0);
        handleNotify_ = 0;
    }
    return 1;
}

int CDevManage::OnHotplug(const vexu::HotplugEvent& event) {
    if (event.kind == vexu::HotplugEvent::Kind::Arrival) {
        DevBroadcast record{DBT_DEVTYP_DEVICEINTERFACE, 0};
        return OnDeviceChange(vexu::WM_DEVICECHANGE, DBT_DEVICEARRIVAL, &record);
    }
    // A removal names a path; it stands for the removal of the held handle
    // only when that handle was opened from the same path.
    HidHandle held = GetHandle();
    HidHandle removed = 0;
    if (held != 0 && backend_ && backend_->PathOf(held) == event.path) removed = held;
    DevBroadcast record{DBT_DEVTYP_HANDLE, removed};
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
    bool ok = Transfer(Direction::Set, handle, report, length, backend_, deviceHandle_, notifyWindow_);
    if (!ok) handleNotify_ = 0;
    return ok;
}

bool CDevManage::HidD_GetFeatureEx(HidHandle handle, void* report, unsigned long length) {
    if (!started_) return false;
    std::lock_guard<std::mutex> guard(lock_);
    bool ok = Transfer(Direction::Get, handle, report, length, backend_, deviceHandle_, notifyWindow_);
    if (!ok) handleNotify_ = 0;
    return ok;
}
