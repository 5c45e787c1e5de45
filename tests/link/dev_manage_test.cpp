// Finding the box, following its arrival and removal, and the transfers.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "link/report_log.h"
#include "platform/hidapi_backend.h"
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
        DevBroadcast record{DBT_DEVTYP_DEVICEINTERFACE, 0};
        return CDevManage::OnDeviceChange(vexu::WM_DEVICECHANGE, DBT_DEVICEARRIVAL, &record);
    }
    int Removal(vexu::HidHandle handle) {
        DevBroadcast record{DBT_DEVTYP_HANDLE, handle};
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

TEST_F(DevManageTest, HidapiBackendEnumeratesWithoutABox) {
    auto hidapi = vexu::MakeHidapiBackend();
    std::vector<vexu::HidDeviceInfo> devices;
    EXPECT_TRUE(hidapi->Enumerate(devices));
    EXPECT_EQ(hidapi->Open("/dev/no-such-hidraw"), 0);
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
