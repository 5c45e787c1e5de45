// Finding the box, following its arrival and removal, and the transfers.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "link/report_log.h"
#include "platform/clock.h"
#include "platform/system_hid.h"
#include "platform/trace.h"
#include "support/bounded_wait.h"
#include "support/fake_hid_backend.h"

namespace {

using vexu::RecordingTarget;
using vexu::WM_DEVICE_INSERT;
using vexu::WM_DEVICE_REMOVE;
using vexu::test::FakeHidBackend;

class DevManageTest : public ::testing::Test {
protected:
    void SetUp() override { CDevManage::SetBackend(&backend); }
    void TearDown() override {
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
    }
    void Start() { CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &window); }
    int Arrival() {
        DevBroadcast record{DBT_DEVTYP_DEVICEINTERFACE, 0, {}};
        return CDevManage::OnDeviceChange(vexu::WM_DEVICECHANGE, DBT_DEVICEARRIVAL, &record);
    }
    int Removal(vexu::HidHandle handle) {
        DevBroadcast record{DBT_DEVTYP_HANDLE, handle, {}};
        return CDevManage::OnDeviceChange(vexu::WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, &record);
    }

    FakeHidBackend backend;
    RecordingTarget window;
};

TEST_F(DevManageTest, StartWithoutABoxThenPlugItIn) {
    vexu::TraceCapture trace;
    Start();
    EXPECT_EQ(window.Count(WM_DEVICE_REMOVE), 1u);
    EXPECT_EQ(window.Messages().size(), 1u);
    EXPECT_EQ(CDevManage::GetHandle(), 0);
    EXPECT_TRUE(trace.Contains("CDevManage::Start   VID:0xA112  PID:0xB112\r\n"));

    window.Clear();
    backend.AddDevice("/dev/hidraw3", kProgrammerVendorId, kProgrammerProductId);
    EXPECT_EQ(CDevManage::OnHotplug({vexu::HotplugEvent::Kind::Arrival, "/dev/hidraw3"}), 1);
    auto messages = window.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, WM_DEVICE_INSERT);
    EXPECT_NE(CDevManage::GetHandle(), 0);
    EXPECT_EQ(messages[0].lParam, CDevManage::GetHandle());
    EXPECT_TRUE(trace.Contains("DBT_DEVICEARRIVAL 设备已插入  设备端点号:0  设备接口号:0  设备句柄:"));
}

TEST_F(DevManageTest, InsertCarriesDeviceIndexPlusInterfacesPassedOver) {
    backend.devices.push_back({{"/dev/a0", 0x1234, 0x0001}, {"/dev/a1", kProgrammerVendorId, 0x0002}});
    backend.AddDevice("/dev/box", kProgrammerVendorId, kProgrammerProductId);
    Start();
    auto messages = window.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, WM_DEVICE_INSERT);
    EXPECT_EQ(messages[0].wParam, 1u + 2u);
    // The two interfaces that did not match were opened, read and closed again.
    EXPECT_EQ(backend.OpenCount(), 3u);
    EXPECT_EQ(backend.OpenHandles().size(), 1u);
}

TEST_F(DevManageTest, OtherProductIsClosedAndNothingPosted) {
    backend.AddDevice("/dev/other", kProgrammerVendorId, 0xB113);
    Start();
    EXPECT_EQ(window.Count(WM_DEVICE_INSERT), 0u);
    EXPECT_EQ(backend.OpenCount(), 1u);
    EXPECT_TRUE(backend.OpenHandles().empty());
}

TEST_F(DevManageTest, UnreadableOrUnopenableInterfaceEndsThatDeviceOnly) {
    backend.devices.push_back({{"", 0, 0}, {"/dev/never", kProgrammerVendorId, kProgrammerProductId}});
    backend.devices.push_back({{"/dev/locked", kProgrammerVendorId, kProgrammerProductId, false}});
    backend.AddDevice("/dev/box", kProgrammerVendorId, kProgrammerProductId);
    Start();
    EXPECT_EQ(backend.PathOf(CDevManage::GetHandle()), "/dev/box");
    backend.enumerateFails = true;
    EXPECT_EQ(CDevManage::FindDevice(), 0);
}

TEST_F(DevManageTest, TwoBoxesOnlyTheFirstIsHeldThenTheSecondTakesOver) {
    backend.AddDevice("/dev/box1", kProgrammerVendorId, kProgrammerProductId);
    backend.AddDevice("/dev/box2", kProgrammerVendorId, kProgrammerProductId);
    Start();
    vexu::HidHandle first = CDevManage::GetHandle();
    EXPECT_EQ(backend.PathOf(first), "/dev/box1");
    EXPECT_EQ(backend.OpenHandles().size(), 1u);
    EXPECT_EQ(window.Count(WM_DEVICE_INSERT), 1u);

    backend.devices.erase(backend.devices.begin());
    window.Clear();
    EXPECT_EQ(CDevManage::OnHotplug({vexu::HotplugEvent::Kind::Removal, "/dev/box1"}), 1);
    EXPECT_EQ(window.Count(WM_DEVICE_REMOVE), 1u);
    EXPECT_EQ(CDevManage::GetHandle(), 0);
    EXPECT_TRUE(backend.OpenHandles().empty());
    // The window answers a removal by looking again.
    CDevManage::FindDevice();
    EXPECT_EQ(window.Count(WM_DEVICE_INSERT), 1u);
    EXPECT_EQ(backend.PathOf(CDevManage::GetHandle()), "/dev/box2");
}

TEST_F(DevManageTest, NotificationsThatConcernOthersChangeNothing) {
    backend.AddDevice("/dev/box", kProgrammerVendorId, kProgrammerProductId);
    Start();
    vexu::HidHandle held = CDevManage::GetHandle();
    window.Clear();
    EXPECT_EQ(Removal(held + 1), 1);
    EXPECT_EQ(CDevManage::OnHotplug({vexu::HotplugEvent::Kind::Removal, "/dev/mouse"}), 1);
    EXPECT_EQ(CDevManage::OnDeviceChange(vexu::WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, nullptr), 1);
    EXPECT_EQ(CDevManage::OnDeviceChange(vexu::WM_USER, DBT_DEVICEARRIVAL, nullptr), 0);
    size_t opens = backend.OpenCount();
    EXPECT_EQ(Arrival(), 1);  // a box is held: no enumeration
    EXPECT_EQ(backend.OpenCount(), opens);
    EXPECT_EQ(CDevManage::GetHandle(), held);
    EXPECT_TRUE(window.Messages().empty());
}

TEST_F(DevManageTest, AfterEndTransfersFailWithoutTouchingTheBox) {
    backend.AddDevice("/dev/box", kProgrammerVendorId, kProgrammerProductId);
    Start();
    vexu::HidHandle held = CDevManage::GetHandle();
    vexu::TraceCapture trace;
    CDevManage::End();
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{"CDevManage::End\r\n"});
    EXPECT_TRUE(backend.OpenHandles().empty());
    window.Clear();
    uint8_t report[64] = {1};
    EXPECT_FALSE(CDevManage::HidD_SetFeatureEx(held, report, 64));
    EXPECT_FALSE(CDevManage::HidD_GetFeatureEx(held, report, 64));
    EXPECT_TRUE(backend.Transfers().empty());
    EXPECT_TRUE(window.Messages().empty());
}

TEST_F(DevManageTest, FailedTransferDropsTheBoxOnce) {
    backend.AddDevice("/dev/box", kProgrammerVendorId, kProgrammerProductId);
    Start();
    window.Clear();
    backend.failTransfer = 1;
    EXPECT_EQ(CHidDevice::GotoState(2), 0);
    EXPECT_EQ(window.Count(WM_DEVICE_REMOVE), 1u);
    EXPECT_EQ(CDevManage::GetHandle(), 0);
    EXPECT_TRUE(backend.OpenHandles().empty());  // closed, not leaked
    vexu::TraceCapture trace;
    EXPECT_EQ(CHidDevice::GotoState(2), 0);
    EXPECT_EQ(CHidDevice::LightLed(0, 0), 0);
    EXPECT_EQ(trace.Count("设备句柄为空"), 2u);
    EXPECT_EQ(backend.Transfers().size(), 1u);
    EXPECT_EQ(window.Count(WM_DEVICE_REMOVE), 1u);
}

TEST_F(DevManageTest, ReportLogWritesEveryTransfer) {
    backend.AddDevice("/dev/box", kProgrammerVendorId, kProgrammerProductId);
    Start();
    std::string path = ::testing::TempDir() + "vexu-report-log.txt";
    ASSERT_TRUE(vexu::SetReportLog(path));
    backend.QueueReply({0xAB});
    uint8_t out = 0;
    EXPECT_EQ(CHidDevice::ShiftOut(8, &out), 1);
    backend.failTransfer = 3;
    EXPECT_EQ(CHidDevice::LightLed(1, 0), 0);
    vexu::SetReportLog("");
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("SET id=1 len=64 : 01 F2 00", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" -> OK"), std::string::npos);
    EXPECT_EQ(lines[1].rfind("GET id=2 len=64 : 02 00", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(" AB 00"), std::string::npos);
    EXPECT_NE(lines[2].find(" -> FAILED"), std::string::npos);
}

// With the ids in the device list (as hidapi gives them), keyboards, mice
// and other devices are never opened, and once a box is held no second box
// is touched: opening it would lock it against the program that wants it.
TEST_F(DevManageTest, OnlyListedBoxesAreOpenedAndOnlyUntilOneIsHeld) {
    backend.listsIds = true;
    backend.AddDevice("/dev/keyboard", 0x046D, 0xC31C);
    backend.AddDevice("/dev/other-product", kProgrammerVendorId, 0xB113);
    backend.AddDevice("/dev/box1", kProgrammerVendorId, kProgrammerProductId);
    backend.AddDevice("/dev/box2", kProgrammerVendorId, kProgrammerProductId);
    Start();
    EXPECT_EQ(backend.PathOf(CDevManage::GetHandle()), "/dev/box1");
    EXPECT_EQ(backend.OpenAttempts(), 1u);
    auto messages = window.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, WM_DEVICE_INSERT);
    EXPECT_EQ(messages[0].wParam, 2u + 2u);  // device 2, after two interfaces passed over
    EXPECT_TRUE(CDevManage::Refusals().empty());
}

// A box chosen by its path: only that one is opened, whether others are
// free or not; a chosen box in use elsewhere is the one refusal.
TEST_F(DevManageTest, AChosenBoxIsTheOnlyOneTaken) {
    backend.listsIds = true;
    backend.AddDevice("/dev/box1", kProgrammerVendorId, kProgrammerProductId);
    backend.devices.push_back({{"/dev/box2", kProgrammerVendorId, kProgrammerProductId, true,
                                vexu::HidOpenError::kInUse, 1}});
    backend.AddDevice("/dev/box3", kProgrammerVendorId, kProgrammerProductId);
    struct Case {
        const char* chosen;
        const char* held;  // empty: none
        size_t refusals;
    };
    const Case cases[] = {
        {"/dev/box3", "/dev/box3", 0},
        {"/dev/box2", "", 1},  // in use the first time it is tried
        {"/dev/box2", "/dev/box2", 0},
        {"/dev/box9", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chosen);
        CDevManage::SetBoxPath(c.chosen);
        const size_t attempts = backend.OpenAttempts();
        Start();
        EXPECT_EQ(backend.PathOf(CDevManage::GetHandle()), c.held);
        EXPECT_EQ(CDevManage::HeldBox().path, c.held);
        EXPECT_EQ(CDevManage::Refusals().size(), c.refusals);
        EXPECT_LE(backend.OpenAttempts() - attempts, 1u);
        CDevManage::End();
    }
    CDevManage::SetBoxPath({});
}

// A box that cannot be opened is passed over with a trace line naming it
// and why; the next free box is taken, and the refusals stay on record for
// a caller that found no box to tell the user what stood in the way.
TEST_F(DevManageTest, RefusedBoxesArePassedOverAndNamed) {
    backend.listsIds = true;
    backend.devices.push_back({{"/dev/busy", kProgrammerVendorId, kProgrammerProductId, false,
                                vexu::HidOpenError::kInUse}});
    backend.devices.push_back({{"/dev/denied", kProgrammerVendorId, kProgrammerProductId, false,
                                vexu::HidOpenError::kDenied}});
    vexu::TraceCapture trace;
    Start();
    EXPECT_EQ(CDevManage::GetHandle(), 0);
    EXPECT_EQ(window.Count(WM_DEVICE_REMOVE), 1u);
    const auto refusals = CDevManage::Refusals();
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_EQ(refusals[0].path, "/dev/busy");
    EXPECT_EQ(refusals[0].error, vexu::HidOpenError::kInUse);
    EXPECT_EQ(refusals[1].error, vexu::HidOpenError::kDenied);
    EXPECT_TRUE(trace.Contains("CDevManage::FindDevice  /dev/busy in use by another program: passed over\r\n"));
    EXPECT_TRUE(trace.Contains("CDevManage::FindDevice  /dev/denied permission denied: passed over\r\n"));
    // Nothing is retried at start-up: each was tried once.
    EXPECT_EQ(backend.OpenAttempts(), 2u);

    backend.AddDevice("/dev/free", kProgrammerVendorId, kProgrammerProductId);
    CDevManage::FindDevice();
    EXPECT_EQ(backend.PathOf(CDevManage::GetHandle()), "/dev/free");
    EXPECT_EQ(CDevManage::Refusals().size(), 2u);
}

// Only the node that has just arrived is retried, about a second at most,
// and only when its refusal may pass (permissions not applied yet); a box
// in use elsewhere is refused at once.
TEST_F(DevManageTest, AJustArrivedBoxIsRetriedForAboutASecond) {
    vexu::VirtualClock clock;
    vexu::ScopedClock scoped(clock);
    backend.listsIds = true;
    Start();
    struct Case {
        const char* what;
        vexu::HidOpenError refusal;
        int refusedOpens;
        bool taken;
        size_t attempts;
        uint64_t waitedMs;
    };
    const Case cases[] = {
        {"permissions applied after 300 ms", vexu::HidOpenError::kDenied, 3, true, 4, 300},
        {"permissions never applied", vexu::HidOpenError::kDenied, 100, false, 10, 900},
        {"in use by another program", vexu::HidOpenError::kInUse, 100, false, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        backend.devices.clear();
        backend.devices.push_back({{"/dev/new", kProgrammerVendorId, kProgrammerProductId, true, c.refusal,
                                    c.refusedOpens}});
        const size_t attemptsBefore = backend.OpenAttempts();
        const uint64_t before = clock.NowUs();
        EXPECT_EQ(CDevManage::OnHotplug({vexu::HotplugEvent::Kind::Arrival, "/dev/new"}), 1);
        EXPECT_EQ(CDevManage::GetHandle() != 0, c.taken);
        EXPECT_EQ(backend.OpenAttempts() - attemptsBefore, c.attempts);
        EXPECT_EQ(clock.NowUs() - before, c.waitedMs * 1000);
        if (CDevManage::GetHandle()) {
            EXPECT_EQ(CDevManage::OnHotplug({vexu::HotplugEvent::Kind::Removal, "/dev/new"}), 1);
        }
    }
}

// Every loss of the held box counts once, whether a transfer failed or the
// box was unplugged; a command refused for want of a box is no new loss.
TEST_F(DevManageTest, LinkLossesCountEachLossOfTheBox) {
    backend.AddDevice("/dev/box", kProgrammerVendorId, kProgrammerProductId);
    Start();
    const uint64_t start = CDevManage::LinkLosses();
    EXPECT_EQ(CHidDevice::GotoState(2), 1);
    EXPECT_EQ(CDevManage::LinkLosses(), start);
    backend.failTransfer = 2;
    EXPECT_EQ(CHidDevice::GotoState(2), 0);
    EXPECT_EQ(CHidDevice::GotoState(2), 0);
    EXPECT_EQ(CDevManage::LinkLosses(), start + 1);
    CDevManage::FindDevice();
    ASSERT_NE(CDevManage::GetHandle(), 0);
    EXPECT_EQ(CDevManage::OnHotplug({vexu::HotplugEvent::Kind::Removal, "/dev/box"}), 1);
    EXPECT_EQ(CDevManage::LinkLosses(), start + 2);
}

// The platform's own HID services (hidapi on Linux, the HID class services
// on Windows) list the machine's devices; a path that is not there opens
// nothing and says so.
TEST_F(DevManageTest, SystemBackendEnumeratesWithoutABox) {
    auto system = vexu::MakeSystemHidBackend();
    std::vector<vexu::HidDeviceInfo> devices;
    EXPECT_TRUE(system->Enumerate(devices));
    EXPECT_EQ(system->Open("/dev/no-such-hidraw"), 0);
    EXPECT_EQ(system->LastOpenError(), vexu::HidOpenError::kMissing);
}

// The window thread ends the manager while a worker is in the middle of
// sending: every transfer either completes or fails cleanly.
TEST_F(DevManageTest, ThreadedEndWhileAWorkerSends) {
    backend.AddDevice("/dev/box", kProgrammerVendorId, kProgrammerProductId);
    Start();
    std::atomic<int> sent{0};
    std::atomic<bool> workerDone{false};
    std::thread worker([&] {
        for (int i = 0; i < 2000; ++i) sent += CHidDevice::GotoState(2);
        workerDone = true;
    });
    EXPECT_TRUE(vexu::test::WaitUntil([&] { return sent >= 10; }, [&] { return workerDone.load(); }))
        << "the worker sent " << sent << " of 2000 before it ended";
    CDevManage::End();
    worker.join();
    EXPECT_GE(sent.load(), 10);
    EXPECT_EQ(CHidDevice::GotoState(2), 0);
    EXPECT_TRUE(backend.OpenHandles().empty());
}

}  // namespace
