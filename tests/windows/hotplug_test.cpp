// Hot-plug on Windows: the monitor's message-only window turns the
// device-change notifications of HID interfaces into arrivals and removals
// named as the device list names the interface, and the device manager
// takes the box up and lets it go on them. The notifications are sent to
// the window as Windows sends them.
#include <gtest/gtest.h>

#include <mutex>

// The system's names before windows.h, which has macros of the same names
// (WM_USER, DBT_DEVICEARRIVAL, ...).
#include "link/dev_manage.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/windows/win_hotplug.h"
#include "sim/simulator.h"
// Then Windows.
#include <windows.h>
#include <dbt.h>

#include "fake_windows.h"

namespace vexu::test {
namespace {

const std::string kHidClass = "#{4D1E55B2-F16F-11CF-88CB-001111000030}";
const std::string kBoxName = "\\\\?\\HID#VID_A112&PID_B112#6&2F0E1C3&0&0000" + kHidClass;
const std::string kBoxPath = "\\\\?\\hid#vid_a112&pid_b112#6&2f0e1c3&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

class Events {
public:
    void Add(const HotplugEvent& event) {
        std::lock_guard<std::mutex> guard(mutex_);
        events_.push_back(event);
    }
    std::vector<HotplugEvent> Take() {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::exchange(events_, {});
    }

private:
    std::mutex mutex_;
    std::vector<HotplugEvent> events_;
};

// This process's monitor window. Message-only windows are found across the
// whole session: every vexu-cli.exe run of the suite running beside this
// test has one of the same class, and a notification sent to one of those
// (perhaps on its way out) would be lost or wait on it.
HWND MonitorWindow() {
    for (HWND window = nullptr;
         (window = FindWindowExA(HWND_MESSAGE, window, win::kHotplugWindowClass, nullptr)) != nullptr;) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId()) return window;
    }
    return nullptr;
}

// A device-interface record as Windows builds it: the name follows the
// fixed part, and the record's size covers it.
std::vector<uint8_t> InterfaceRecord(const std::string& name, DWORD deviceType = DBT_DEVTYP_DEVICEINTERFACE) {
    std::vector<uint8_t> bytes(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + name.size() + 1, 0);
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(bytes.data());
    record->dbcc_size = static_cast<DWORD>(bytes.size());
    record->dbcc_devicetype = deviceType;
    memcpy(record->dbcc_name, name.c_str(), name.size() + 1);
    return bytes;
}

LRESULT Notify(HWND window, WPARAM event, std::vector<uint8_t>* record) {
    return SendMessageA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record ? record->data() : nullptr));
}

TEST(WinHotplug, NotificationsOfHidInterfacesBecomeArrivalsAndRemovals) {
    Events events;
    auto monitor = win::MakeDeviceChangeMonitor();
    ASSERT_TRUE(monitor->Start([&](const HotplugEvent& event) { events.Add(event); }));
    const HWND window = MonitorWindow();
    ASSERT_NE(window, nullptr);

    std::vector<uint8_t> box = InterfaceRecord(kBoxName);
    std::vector<uint8_t> handleRecord = InterfaceRecord(kBoxName, DBT_DEVTYP_HANDLE);
    // A name that fills the record to its last byte without an ending zero.
    std::vector<uint8_t> unterminated = InterfaceRecord(kBoxName);
    unterminated.back() = 'X';
    struct Case {
        const char* what;
        WPARAM event;
        std::vector<uint8_t>* record;
        bool delivered;
        HotplugEvent::Kind kind;
        std::string path;
    };
    const Case cases[] = {
        {"arrival", DBT_DEVICEARRIVAL, &box, true, HotplugEvent::Kind::Arrival, kBoxPath},
        {"removal", DBT_DEVICEREMOVECOMPLETE, &box, true, HotplugEvent::Kind::Removal, kBoxPath},
        {"a request to remove is not a removal", DBT_DEVICEQUERYREMOVE, &box, false, {}, ""},
        {"a handle record", DBT_DEVICEREMOVECOMPLETE, &handleRecord, false, {}, ""},
        {"no record", DBT_DEVICEARRIVAL, nullptr, false, {}, ""},
        {"the name ends where the record ends", DBT_DEVICEARRIVAL, &unterminated, true, HotplugEvent::Kind::Arrival,
         kBoxPath + "x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Notify(window, c.event, c.record), TRUE) << c.what;
        const std::vector<HotplugEvent> got = events.Take();
        ASSERT_EQ(got.size(), c.delivered ? 1u : 0u) << c.what;
        if (!c.delivered) continue;
        EXPECT_EQ(got[0].kind, c.kind) << c.what;
        EXPECT_EQ(got[0].path, c.path) << c.what;
    }

    monitor->Stop();
    EXPECT_EQ(MonitorWindow(), nullptr) << "the window goes with the monitor";
}

// The whole way on Windows: the box arrives, the device manager opens it
// by the path the notification names, and its removal lets it go.
TEST(WinHotplug, TheDeviceManagerFollowsTheBoxThroughTheNotifications) {
    VirtualClock clock;
    ScopedClock useClock(clock);
    std::string error;
    auto box = sim::MakeSimulator("", error);
    ASSERT_TRUE(box) << error;
    FakeWindows windows;
    auto backend = win::MakeWinHidBackend(windows);
    RecordingTarget deviceEvents;
    CDevManage::SetBackend(backend.get());
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &deviceEvents);
    EXPECT_EQ(CDevManage::GetHandle(), 0);

    auto monitor = win::MakeDeviceChangeMonitor();
    ASSERT_TRUE(monitor->Start([](const HotplugEvent& event) { CDevManage::OnHotplug(event); }));
    const HWND window = MonitorWindow();
    ASSERT_NE(window, nullptr);

    windows.devices = {{{{.path = kBoxName, .vendorId = 0xA112, .productId = 0xB112, .box = box.get()}}}};
    std::vector<uint8_t> record = InterfaceRecord(kBoxName);
    Notify(window, DBT_DEVICEARRIVAL, &record);
    const HidHandle held = CDevManage::GetHandle();
    EXPECT_NE(held, 0);
    EXPECT_EQ(deviceEvents.Count(WM_DEVICE_INSERT), 1u);

    Notify(window, DBT_DEVICEREMOVECOMPLETE, &record);
    EXPECT_EQ(CDevManage::GetHandle(), 0);
    EXPECT_EQ(deviceEvents.Count(WM_DEVICE_REMOVE), 2u) << "one at the start without a box, one now";
    EXPECT_EQ(windows.OpenHandles(), 0u);

    monitor->Stop();
    CDevManage::End();
    CDevManage::SetBackend(nullptr);
}

}  // namespace
}  // namespace vexu::test
