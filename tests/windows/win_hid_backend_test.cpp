// The Windows HID backend against a stand-in for the Windows calls: what
// the device list yields, which opens it makes, how refusals are named,
// and the reports of the box's commands as HidD_SetFeature and
// HidD_GetFeature see them, with the simulated box answering.
#include <gtest/gtest.h>

#include <numeric>

// The system's names before windows.h, which has macros of the same names
// (WM_USER, DBT_DEVICEARRIVAL, ...).
#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "sim/simulator.h"
// Then Windows.
#include "fake_windows.h"

namespace vexu::test {
namespace {

using win::IdsFromInterfacePath;
using win::MakeWinHidBackend;

const std::string kHidClass = "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const std::string kBoxPath = "\\\\?\\HID#VID_A112&PID_B112#6&2F0E1C3&0&0000" + kHidClass;
const std::string kBoxPathLower = "\\\\?\\hid#vid_a112&pid_b112#6&2f0e1c3&0&0000" + kHidClass;

TEST(WinHidBackend, DeviceListGivesEveryInterfaceWithTheIdsItsPathCarries) {
    FakeWindows windows;
    windows.devices = {
        {{{.path = "\\\\?\\HID#VID_046D&PID_C31C&MI_00#7&1A2B3C4D&0&0000" + kHidClass, .vendorId = 0x046D,
           .productId = 0xC31C}}},
        {{{.path = kBoxPath, .vendorId = 0xA112, .productId = 0xB112, .serial = L"VB00001-01"},
          {.path = "\\\\?\\HID#VID_A112&PID_B112&Col02#6&2F0E1C3&0&0001" + kHidClass,
           .vendorId = 0xA112,
           .productId = 0xB112,
           .serial = L"VB00001-01"}}},
        // Its first interface cannot be read: the walk over it ends there.
        {{{.path = "\\\\?\\HID#VID_1234&PID_0001#1" + kHidClass, .detailFails = true},
          {.path = "\\\\?\\HID#VID_1234&PID_0002#1" + kHidClass}}},
        // A Bluetooth device writes its ids in another form.
        {{{.path = "\\\\?\\HID#{00001124-0000-1000-8000-00805f9b34fb}_VID&0002045e_PID&082f&Col01#8&1" + kHidClass,
           .vendorId = 0x045E,
           .productId = 0x082F}}},
    };
    auto backend = MakeWinHidBackend(windows);
    std::vector<HidDeviceInfo> devices;
    ASSERT_TRUE(backend->Enumerate(devices));

    struct Expected {
        size_t device;
        size_t interfaceIndex;
        std::string path;
        bool idsKnown;
        uint16_t vendorId;
        uint16_t productId;
        std::string serial;
    };
    const Expected expected[] = {
        {0, 0, "\\\\?\\hid#vid_046d&pid_c31c&mi_00#7&1a2b3c4d&0&0000" + kHidClass, true, 0x046D, 0xC31C, ""},
        {1, 0, kBoxPathLower, true, 0xA112, 0xB112, "VB00001-01"},
        {1, 1, "\\\\?\\hid#vid_a112&pid_b112&col02#6&2f0e1c3&0&0001" + kHidClass, true, 0xA112, 0xB112, "VB00001-01"},
        {2, 0, "", false, 0, 0, ""},
        {3, 0, "\\\\?\\hid#{00001124-0000-1000-8000-00805f9b34fb}_vid&0002045e_pid&082f&col01#8&1" + kHidClass, false,
         0, 0, ""},
    };
    ASSERT_EQ(devices.size(), 4u);
    const size_t interfaceCounts[] = {1, 2, 1, 1};
    for (size_t d = 0; d < devices.size(); ++d) EXPECT_EQ(devices[d].interfaces.size(), interfaceCounts[d]) << d;
    for (const Expected& e : expected) {
        const HidInterfaceInfo& got = devices.at(e.device).interfaces.at(e.interfaceIndex);
        EXPECT_EQ(got.path, e.path);
        EXPECT_EQ(got.idsKnown, e.idsKnown) << e.path;
        if (e.idsKnown) {
            EXPECT_EQ(got.vendorId, e.vendorId) << e.path;
            EXPECT_EQ(got.productId, e.productId) << e.path;
        }
        EXPECT_EQ(got.serial, e.serial) << e.path;
    }
    // Listing locks nobody out: every open asked for neither reading nor
    // writing and shared everything, and none stays open. The list is freed.
    EXPECT_FALSE(windows.opens.empty());
    for (const FakeWindows::OpenCall& open : windows.opens) {
        EXPECT_EQ(open.access, 0u) << open.path;
        EXPECT_EQ(open.shareMode, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE)) << open.path;
    }
    EXPECT_EQ(windows.OpenHandles(), 0u);
    EXPECT_EQ(windows.listsMade, 1);
    EXPECT_EQ(windows.listsDestroyed, 1);
}

TEST(WinHidBackend, NoDeviceListNoDevices) {
    FakeWindows windows;
    windows.listFails = true;
    auto backend = MakeWinHidBackend(windows);
    std::vector<HidDeviceInfo> devices(3);
    EXPECT_FALSE(backend->Enumerate(devices));
    EXPECT_TRUE(devices.empty());
    EXPECT_EQ(windows.listsDestroyed, 0);
}

TEST(WinHidBackend, IdsAreReadFromThePathOnlyWhenItCarriesBoth) {
    struct Case {
        std::string path;
        bool known;
        uint16_t vendorId;
        uint16_t productId;
    };
    const Case cases[] = {
        {kBoxPath, true, 0xA112, 0xB112},
        {kBoxPathLower, true, 0xA112, 0xB112},
        {"\\\\?\\hid#vid_0001&pid_ffff&mi_02#x", true, 0x0001, 0xFFFF},
        {"\\\\?\\hid#vid_a11g&pid_b112#x", false, 0, 0},  // not hex
        {"\\\\?\\hid#vid_a112#x", false, 0, 0},           // no product id
        {"\\\\?\\hid#vid_a112&pid_b1", false, 0, 0},      // cut short
        {"", false, 0, 0},
    };
    for (const Case& c : cases) {
        uint16_t vendorId = 0x5555;
        uint16_t productId = 0x5555;
        EXPECT_EQ(IdsFromInterfacePath(c.path, vendorId, productId), c.known) << c.path;
        EXPECT_EQ(vendorId, c.known ? c.vendorId : 0x5555) << c.path;
        EXPECT_EQ(productId, c.known ? c.productId : 0x5555) << c.path;
    }
}

// The box is opened for reading and writing with nothing shared; each way
// Windows refuses is named as the device manager tells it to the user.
TEST(WinHidBackend, OpenIsExclusiveAndEachRefusalHasItsName) {
    struct Case {
        const char* what;
        DWORD windowsError;
        HidOpenError error;
    };
    const Case cases[] = {
        {"opens", 0, HidOpenError::kNone},
        {"another program holds it", ERROR_SHARING_VIOLATION, HidOpenError::kInUse},
        {"access denied", ERROR_ACCESS_DENIED, HidOpenError::kDenied},
        {"gone", ERROR_FILE_NOT_FOUND, HidOpenError::kMissing},
        {"unplugged", ERROR_DEVICE_NOT_CONNECTED, HidOpenError::kMissing},
        {"device fault", ERROR_GEN_FAILURE, HidOpenError::kFailed},
    };
    for (const Case& c : cases) {
        FakeWindows windows;
        windows.devices = {{{{.path = kBoxPath, .vendorId = 0xA112, .productId = 0xB112, .openError = c.windowsError}}}};
        auto backend = MakeWinHidBackend(windows);
        const HidHandle handle = backend->Open(kBoxPathLower);
        EXPECT_EQ(handle != 0, c.error == HidOpenError::kNone) << c.what;
        EXPECT_EQ(backend->LastOpenError(), c.error) << c.what;
        ASSERT_EQ(windows.opens.size(), 1u) << c.what;
        EXPECT_EQ(windows.opens[0].access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE)) << c.what;
        EXPECT_EQ(windows.opens[0].shareMode, 0u) << c.what;
        EXPECT_EQ(windows.opens[0].creation, static_cast<DWORD>(OPEN_EXISTING)) << c.what;
        if (!handle) continue;
        // Held here, the box refuses a second open as in use.
        EXPECT_EQ(backend->Open(kBoxPath), 0);
        EXPECT_EQ(backend->LastOpenError(), HidOpenError::kInUse);
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        EXPECT_TRUE(backend->GetAttributes(handle, vendorId, productId));
        EXPECT_EQ(vendorId, 0xA112);
        EXPECT_EQ(productId, 0xB112);
        EXPECT_EQ(backend->PathOf(handle), kBoxPathLower);
        backend->Close(handle);
        EXPECT_EQ(windows.OpenHandles(), 0u);
        EXPECT_FALSE(backend->GetAttributes(handle, vendorId, productId)) << "closed";
    }
}

std::vector<uint8_t> Report(size_t length, std::initializer_list<uint8_t> head) {
    std::vector<uint8_t> report(length, 0);
    std::copy(head.begin(), head.end(), report.begin());
    return report;
}

// The device manager and the command protocol over the Windows backend, the
// simulated box answering behind the Windows calls.
class WinHidBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        box = sim::MakeSimulator("", error);
        ASSERT_TRUE(box) << error;
        windows.devices = {
            {{{.path = "\\\\?\\HID#VID_046D&PID_C31C#1" + kHidClass, .vendorId = 0x046D, .productId = 0xC31C}}},
            {{{.path = kBoxPath, .vendorId = 0xA112, .productId = 0xB112, .serial = L"VB1", .box = box.get()}}}};
        backend = MakeWinHidBackend(windows);
        CDevManage::SetBackend(backend.get());
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &window);
    }
    void TearDown() override {
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
    }

    VirtualClock clock;
    ScopedClock useClock{clock};
    std::unique_ptr<sim::SimBackend> box;
    FakeWindows windows;
    std::unique_ptr<HidBackend> backend;
    RecordingTarget window;
};

TEST_F(WinHidBoxTest, TheBoxIsFoundByItsPathAndOpenedAlone) {
    ASSERT_EQ(window.Count(WM_DEVICE_INSERT), 1u);
    const HidHandle handle = CDevManage::GetHandle();
    ASSERT_NE(handle, 0);
    EXPECT_EQ(backend->PathOf(handle), kBoxPathLower);
    // Of all opens, only the box's asked for reading and writing: the
    // keyboard was passed over on what its path says.
    size_t readWrite = 0;
    for (const FakeWindows::OpenCall& open : windows.opens) {
        if (open.access == 0) continue;
        ++readWrite;
        EXPECT_EQ(open.path, kBoxPathLower);
    }
    EXPECT_EQ(readWrite, 1u);
}

TEST_F(WinHidBoxTest, CommandsBecomeTheirReportsAndCapturesComeBackWhole) {
    windows.transfers.clear();
    // A state move: one command report of 64 bytes.
    ASSERT_EQ(CHidDevice::GotoState(11), 1);
    ASSERT_EQ(windows.transfers.size(), 1u);
    EXPECT_TRUE(windows.transfers[0].set);
    EXPECT_EQ(windows.transfers[0].report, Report(64, {0x01, 0xF1, 0x00, 0x00, 0x00, 0x0B}));

    // A 260-byte page program: the command report, then one 320-byte report 3.
    windows.transfers.clear();
    std::vector<uint8_t> frame(260);
    std::iota(frame.begin(), frame.end(), 0);
    ASSERT_EQ(CHidDevice::SendTransmitCommand(1, 6, 1, frame.data(), 260, nullptr, 0), 1);
    ASSERT_EQ(windows.transfers.size(), 2u);
    EXPECT_EQ(windows.transfers[0].report, Report(64, {0x01, 0xB1, 0x01, 0x03, 0x06, 0x04, 0x01}));
    std::vector<uint8_t> bulk = Report(320, {0x03});
    std::copy(frame.begin(), frame.end(), bulk.begin() + 16);
    EXPECT_EQ(windows.transfers[1].report, bulk);

    // 1000 bits in and out: three written reports, each answered by one
    // fetched; every fetch hands Windows a cleared report 2, and the data
    // of each answer lands in order (48, 48, 29 bytes).
    windows.transfers.clear();
    std::vector<uint8_t> in(125, 0xA5);
    std::vector<uint8_t> out(125, 0);
    ASSERT_EQ(CHidDevice::ShiftInOut(1000, in.data(), out.data()), 1);
    ASSERT_EQ(windows.transfers.size(), 6u);
    std::vector<uint8_t> captured;
    for (size_t i = 0; i < windows.transfers.size(); ++i) {
        const FakeWindows::Transfer& t = windows.transfers[i];
        EXPECT_EQ(t.set, i % 2 == 0) << i;
        if (t.set) continue;
        EXPECT_EQ(t.report, Report(64, {0x02})) << i;
        const size_t count = i < 5 ? 48 : 29;
        captured.insert(captured.end(), t.answer.begin() + 16, t.answer.begin() + 16 + count);
    }
    EXPECT_EQ(out, captured);
}

// A transfer that Windows fails drops the box: closed, and the window told
// once.
TEST_F(WinHidBoxTest, AFailedTransferDropsAndClosesTheBox) {
    window.Clear();
    box->Unplug();
    uint8_t out[6] = {};
    EXPECT_EQ(CHidDevice::ShiftOut(48, out), 0);
    EXPECT_EQ(CDevManage::GetHandle(), 0);
    EXPECT_EQ(window.Count(WM_DEVICE_REMOVE), 1u);
    EXPECT_EQ(windows.OpenHandles(), 0u);
}

}  // namespace
}  // namespace vexu::test
