#include <windows.h>
// After windows.h:
#include <dbt.h>

#include <future>
#include <thread>

#include "platform/windows/win_hid.h"
#include "platform/windows/win_hotplug.h"

namespace vexu::win {

namespace {

class DeviceChangeMonitor final : public HotplugMonitor {
public:
    ~DeviceChangeMonitor() override { Stop(); }

    // The window lives on the monitor's thread, which pumps its messages;
    // Start returns once the window is registered for HID interfaces, or
    // failed to be.
    bool Start(Callback callback) override {
        Stop();
        callback_ = std::move(callback);
        std::promise<bool> started;
        std::future<bool> ready = started.get_future();
        thread_ = std::thread([this, &started] { Run(started); });
        if (ready.get()) return true;
        thread_.join();
        return false;
    }

    void Stop() override {
        if (!thread_.joinable()) return;
        PostMessageA(window_, WM_CLOSE, 0, 0);
        thread_.join();
        window_ = nullptr;
    }

private:
    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<DeviceChangeMonitor*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (message == WM_DEVICECHANGE && self) {
            self->OnDeviceChange(wParam, reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam));
            return TRUE;
        }
        if (message == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    void Run(std::promise<bool>& started) {
        HINSTANCE instance = GetModuleHandleA(nullptr);
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = WindowProcedure;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = kHotplugWindowClass;
        // A second monitor finds the class registered already.
        if (!RegisterClassExA(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            started.set_value(false);
            return;
        }
        window_ = CreateWindowExA(0, kHotplugWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
        if (!window_) {
            started.set_value(false);
            return;
        }
        SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        ::HidD_GetHidGuid(&filter.dbcc_classguid);
        HDEVNOTIFY notify = RegisterDeviceNotificationA(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (!notify) {
            DestroyWindow(window_);
            started.set_value(false);
            return;
        }
        started.set_value(true);
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
        UnregisterDeviceNotification(notify);
    }

    // An interface of the HID class came or went; its name is the path the
    // HID backend lists it by.
    void OnDeviceChange(WPARAM event, const DEV_BROADCAST_HDR* record) {
        if (!record || record->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
        if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return;
        const auto* interfaceRecord = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(record);
        const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
        if (record->dbch_size <= nameOffset) return;
        const std::string name =
            NormalizeInterfacePath(std::string_view(interfaceRecord->dbcc_name,
                                                    strnlen(interfaceRecord->dbcc_name, record->dbch_size - nameOffset)));
        if (name.empty()) return;
        callback_({event == DBT_DEVICEARRIVAL ? HotplugEvent::Kind::Arrival : HotplugEvent::Kind::Removal, name});
    }

    Callback callback_;
    HWND window_ = nullptr;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<HotplugMonitor> MakeDeviceChangeMonitor() { return std::make_unique<DeviceChangeMonitor>(); }

}  // namespace vexu::win
