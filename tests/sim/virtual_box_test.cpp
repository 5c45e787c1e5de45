// The virtual box's side of the uhid wire, with the test standing in for
// the kernel: what the device announces, how feature requests are answered
// (report id first, whole lengths, errors), a whole run through the wire
// that sends exactly the reports of a run on the simulated box, and the
// timed removals (unplug-after with its return, the station's operator).
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "link/report_log.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "common/image_buffers.h"
#include "common/run_messages.h"
#include "run/thread_action.h"
#include "sim/simulator.h"
#include "sim/spi_flash.h"
#include "sim/virtual_box/virtual_box.h"
#include "support/temp_dir.h"
#include "tools/image/demo_images.h"

namespace {

using vexu::sim::SimBackend;
using vexu::sim::VirtualBox;
using vexu::sim::VirtualBoxSetup;
namespace uhid = vexu::sim::uhid;

std::unique_ptr<VirtualBox> MakeBox(const std::string& keys, VirtualBoxSetup setup = {}) {
    std::string error;
    std::unique_ptr<SimBackend> sim = vexu::sim::MakeSimulator(keys, error);
    EXPECT_TRUE(sim) << error;
    setup.identity.name = "Vexu Virtual Programmer Box";
    setup.identity.serial = "VB-TEST";
    setup.identity.vendorId = 0xA112;
    setup.identity.productId = 0xB112;
    return std::make_unique<VirtualBox>(std::move(sim), setup);
}

std::vector<uhid::DeviceEvent> Decoded(const std::vector<uhid::Event>& events) {
    std::vector<uhid::DeviceEvent> out;
    for (const uhid::Event& event : events) {
        uhid::DeviceEvent decoded;
        EXPECT_TRUE(uhid::DecodeDeviceEvent(event, decoded));
        out.push_back(decoded);
    }
    return out;
}

// The kernel and hidapi as the programs see them: feature reports become
// uhid requests to the virtual box, its answers come back; a device it
// destroyed is gone until it creates one again.
class KernelStandIn final : public vexu::HidBackend {
public:
    static constexpr const char* kNode = "/dev/hidraw-virtual";

    explicit KernelStandIn(VirtualBox& box) : box_(box) { Take(box_.Begin(Now())); }

    bool Enumerate(std::vector<vexu::HidDeviceInfo>& devices) override {
        Take(box_.Tick(Now()));
        devices.clear();
        if (!present_) return true;
        vexu::HidInterfaceInfo node;
        node.path = kNode;
        node.idsKnown = true;
        node.vendorId = identity_.vendorId;
        node.productId = identity_.productId;
        node.serial = identity_.serial;
        devices.push_back({{node}});
        return true;
    }
    vexu::HidHandle Open(const std::string& path) override { return present_ && path == kNode ? ++generation_ : 0; }
    bool GetAttributes(vexu::HidHandle handle, uint16_t& vendorId, uint16_t& productId) override {
        if (!Live(handle)) return false;
        vendorId = identity_.vendorId;
        productId = identity_.productId;
        return true;
    }
    bool SetFeature(vexu::HidHandle handle, const uint8_t* report, size_t length) override {
        if (!Live(handle)) return false;
        const uhid::DeviceEvent* reply = Ask(uhid::SetReportRequest(++requestId_, {report, length}));
        return reply && reply->kind == uhid::DeviceEvent::Kind::kSetReportReply && reply->error == 0;
    }
    bool GetFeature(vexu::HidHandle handle, uint8_t* report, size_t length) override {
        if (!Live(handle)) return false;
        const uhid::DeviceEvent* reply = Ask(uhid::GetReportRequest(++requestId_, report[0]));
        if (!reply || reply->kind != uhid::DeviceEvent::Kind::kGetReportReply || reply->error != 0) return false;
        // The caller gets what came, at most what it asked for; less is a
        // failure, as for hidapi on hidraw.
        const size_t n = std::min(length, reply->data.size());
        std::memcpy(report, reply->data.data(), n);
        return n == length;
    }
    void Close(vexu::HidHandle) override {}
    std::string PathOf(vexu::HidHandle handle) override { return handle ? kNode : ""; }

    bool Present() const { return present_; }
    int Creates() const { return creates_; }
    int Destroys() const { return destroys_; }
    uhid::DeviceIdentity Identity() const { return identity_; }
    std::vector<uhid::DeviceEvent> LastEvents() const { return last_; }

private:
    static uint64_t Now() { return vexu::GetClock().NowUs(); }
    bool Live(vexu::HidHandle handle) const { return present_ && handle == generation_; }

    const uhid::DeviceEvent* Ask(const uhid::Event& request) {
        Take(box_.Tick(Now()));
        Take(box_.Handle(request, Now()));
        for (const uhid::DeviceEvent& event : last_)
            if (event.kind == uhid::DeviceEvent::Kind::kSetReportReply ||
                event.kind == uhid::DeviceEvent::Kind::kGetReportReply)
                return &event;
        return nullptr;
    }
    void Take(const std::vector<uhid::Event>& events) {
        last_ = Decoded(events);
        for (const uhid::DeviceEvent& event : last_) {
            if (event.kind == uhid::DeviceEvent::Kind::kCreate) {
                EXPECT_FALSE(present_) << "created twice";
                present_ = true;
                identity_ = event.identity;
                ++creates_;
                ++generation_;
            } else if (event.kind == uhid::DeviceEvent::Kind::kDestroy) {
                EXPECT_TRUE(present_) << "destroyed twice";
                present_ = false;
                ++destroys_;
                ++generation_;
            }
        }
    }

    VirtualBox& box_;
    bool present_ = false;
    uhid::DeviceIdentity identity_;
    vexu::HidHandle generation_ = 0;
    uint32_t requestId_ = 0;
    int creates_ = 0;
    int destroys_ = 0;
    std::vector<uhid::DeviceEvent> last_;
};

// Report id and data byte count of each feature report a descriptor declares.
std::vector<std::pair<int, int>> FeatureReports(const std::vector<uint8_t>& descriptor) {
    std::vector<std::pair<int, int>> reports;
    int id = 0;
    int count = 0;
    for (size_t i = 0; i < descriptor.size();) {
        const uint8_t prefix = descriptor[i];
        const size_t size = prefix & 3 ? size_t{1} << ((prefix & 3) - 1) : 0;
        int value = 0;
        for (size_t b = 0; b < size && i + 1 + b < descriptor.size(); ++b) value |= descriptor[i + 1 + b] << (8 * b);
        switch (prefix & 0xFC) {
            case 0x84: id = value; break;
            case 0x94: count = value; break;
            case 0xB0: reports.push_back({id, count}); break;
        }
        i += 1 + size;
    }
    return reports;
}

class VirtualBoxTest : public ::testing::Test {
protected:
    vexu::VirtualClock clock;
    vexu::ScopedClock useClock{clock};
};

TEST_F(VirtualBoxTest, AnnouncesAUsbBoxWithTheThreeFeatureReports) {
    auto box = MakeBox("");
    KernelStandIn kernel(*box);
    ASSERT_TRUE(kernel.Present());
    const uhid::DeviceIdentity identity = kernel.Identity();
    EXPECT_EQ(identity.bus, 0x03);
    EXPECT_EQ(identity.vendorId, 0xA112);
    EXPECT_EQ(identity.productId, 0xB112);
    EXPECT_EQ(identity.name, "Vexu Virtual Programmer Box");
    EXPECT_EQ(identity.serial, "VB-TEST");
    // 64-byte reports 1 and 2 and the 320-byte report 3: the id and 63 or
    // 319 data bytes.
    const std::vector<std::pair<int, int>> expected = {{1, 63}, {2, 63}, {3, 319}};
    EXPECT_EQ(FeatureReports(identity.reportDescriptor), expected);
}

// Answers carry the report id first and the whole report; what the box
// cannot answer is an error; a request the kernel queued before the
// device went gets no answer (the kernel refuses answers for a gone device).
TEST_F(VirtualBoxTest, RequestsAreAnsweredWholeOrWithAnError) {
    VirtualBoxSetup setup;
    setup.shortAnswer = 2;
    auto box = MakeBox("unplug-after=3", setup);
    KernelStandIn kernel(*box);
    uint8_t lamps[64] = {1, 0xF2};  // a command report
    auto replies = Decoded(box->Handle(uhid::SetReportRequest(7, lamps), clock.NowUs()));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].kind, uhid::DeviceEvent::Kind::kSetReportReply);
    EXPECT_EQ(replies[0].id, 7u);

    struct Case {
        const char* what;
        uint8_t reportId;
        uint16_t error;
        size_t bytes;
    };
    const Case cases[] = {
        {"report 2 answered one byte short", 2, 0, 63},
        {"an id the box does not have", 4, EIO, 0},
        {"report 3 whole", 3, 0, 320},
        {"after the box stopped answering", 2, EIO, 0},
    };
    uint32_t requestId = 8;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        replies = Decoded(box->Handle(uhid::GetReportRequest(requestId, c.reportId), clock.NowUs()));
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].kind, uhid::DeviceEvent::Kind::kGetReportReply);
        EXPECT_EQ(replies[0].id, requestId++);
        EXPECT_EQ(replies[0].error, c.error);
        ASSERT_EQ(replies[0].data.size(), c.bytes);
        if (c.bytes) {
            EXPECT_EQ(replies[0].data[0], c.reportId);
        }
    }
    // Gone from the bus a little later; from then on nothing is answered.
    clock.Advance(200'000);
    EXPECT_EQ(Decoded(box->Tick(clock.NowUs()))[0].kind, uhid::DeviceEvent::Kind::kDestroy);
    EXPECT_TRUE(box->Handle(uhid::GetReportRequest(12, 2), clock.NowUs()).empty());
}

// One whole run on the run worker, each transfer through the given HID
// services; returns the report log.
std::string WholeRun(vexu::HidBackend& backend, const vexu::test::TempDir& dir, const char* name, bool& ok) {
    vexu::MessageQueue window;
    CDevManage::SetBackend(&backend);
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &window);
    InitMsgQueue(&window);
    const std::string log = dir.File(name);
    EXPECT_TRUE(vexu::SetReportLog(log));
    CThreadAction worker;
    worker.StartAction(1, 1, &window);
    vexu::MessageQueue::Message m{};
    while (window.Wait(m, std::chrono::seconds(120))) {
        if (m.message == vexu::WM_RUN_TEXT) GetMsgText();
        if (m.message == vexu::WM_RUN_END) break;
    }
    worker.End();
    ok = m.message == vexu::WM_RUN_END && m.lParam == RUN_OK;
    vexu::SetReportLog("");
    FreeMsgQueue();
    CDevManage::End();
    CDevManage::SetBackend(nullptr);
    std::ifstream file(log);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The wire adds, drops and changes nothing: a run through it programs the
// board and sends, byte for byte, the reports of a run on the simulated box.
TEST_F(VirtualBoxTest, AWholeRunThroughTheWireSendsTheSimulatedRunsReports) {
    vexu::test::TempDir dir;
    std::vector<uint8_t> fpgaImage = vexu::image::MakeDemoFpgaImage();
    std::vector<uint8_t> eepromImage = vexu::image::MakeDemoEepromImage();
    g_fpgaData = fpgaImage.data();
    g_fpgaSize = static_cast<uint32_t>(fpgaImage.size());
    g_eepromData = eepromImage.data();
    g_eepromSize = static_cast<uint32_t>(eepromImage.size());
    SetRunLogPath(dir.File("runs.log"));

    auto box = MakeBox("");
    KernelStandIn kernel(*box);
    bool throughWireOk = false;
    const std::string throughWire = WholeRun(kernel, dir, "wire.log", throughWireOk);
    EXPECT_TRUE(throughWireOk);
    const auto& flash = *static_cast<vexu::sim::SpiFlash*>(box->Simulator()->Box().Spi());
    EXPECT_TRUE(std::equal(eepromImage.begin(), eepromImage.end(), flash.Contents().begin()));

    std::string error;
    std::unique_ptr<SimBackend> direct = vexu::sim::MakeSimulator("", error);
    bool directOk = false;
    const std::string simulated = WholeRun(*direct, dir, "direct.log", directOk);
    EXPECT_TRUE(directOk);
    EXPECT_GT(simulated.size(), 1'000'000u);
    EXPECT_TRUE(throughWire == simulated) << "the report logs differ";
    EXPECT_EQ(kernel.Creates(), 1);
    EXPECT_EQ(kernel.Destroys(), 0);

    SetRunLogPath("");
    g_fpgaData = g_eepromData = nullptr;
    g_fpgaSize = g_eepromSize = 0;
}

// unplug-after: the box stops answering after its last report, leaves the
// bus a moment later and, with replug-after-ms, comes back powered up.
TEST_F(VirtualBoxTest, AnUnpluggedBoxLeavesTheBusAndComesBack) {
    VirtualBoxSetup setup;
    setup.replugAfterUs = 300'000;
    auto box = MakeBox("unplug-after=4,latency-us=0", setup);
    KernelStandIn kernel(*box);
    vexu::RecordingTarget window;
    CDevManage::SetBackend(&kernel);
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &window);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(CHidDevice::LightLed(1, 1), 1) << i;
    EXPECT_TRUE(kernel.Present());
    EXPECT_EQ(CHidDevice::LightLed(1, 1), 0);  // answered with an error
    EXPECT_TRUE(kernel.Present());

    std::vector<vexu::HidDeviceInfo> devices;
    clock.Advance(100'000);
    kernel.Enumerate(devices);
    EXPECT_FALSE(kernel.Present());
    clock.Advance(299'000);
    kernel.Enumerate(devices);
    EXPECT_FALSE(kernel.Present());
    clock.Advance(1'000);
    kernel.Enumerate(devices);
    ASSERT_TRUE(kernel.Present());
    CDevManage::FindDevice();
    EXPECT_EQ(CHidDevice::LightLed(0, 1), 1);
    EXPECT_TRUE(box->Simulator()->Inspect([](vexu::sim::SimBox& b) { return !b.LampOn(1) && b.LampOn(2); }));
    EXPECT_EQ(kernel.Creates(), 2);
    CDevManage::End();
    CDevManage::SetBackend(nullptr);
}

// The station's operator takes the box a moment after each run (the JTAG
// port switched off again) and brings the next after the pause, as many
// boxes as asked, then is done.
TEST_F(VirtualBoxTest, TheOperatorTakesEachBoxAfterItsRun) {
    VirtualBoxSetup setup;
    setup.stationBoxes = 2;
    setup.stationPauseUs = 500'000;
    auto box = MakeBox("latency-us=0", setup);
    KernelStandIn kernel(*box);
    vexu::RecordingTarget window;
    CDevManage::SetBackend(&kernel);
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &window);
    std::vector<vexu::HidDeviceInfo> devices;
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_TRUE(kernel.Present());
        CDevManage::FindDevice();
        // Lamps alone are no run: the box stays.
        EXPECT_EQ(CHidDevice::LightLed(1, 1), 1);
        clock.Advance(1'000'000);
        kernel.Enumerate(devices);
        ASSERT_TRUE(kernel.Present());
        EnableJtagPort();
        CHidDevice::LightLed(0, 0);
        DisableJtagPort();
        clock.Advance(99'000);
        kernel.Enumerate(devices);
        EXPECT_TRUE(kernel.Present());
        clock.Advance(1'000);
        kernel.Enumerate(devices);
        EXPECT_FALSE(kernel.Present());
        EXPECT_EQ(box->Done(), run == 2);
        CDevManage::OnHotplug({vexu::HotplugEvent::Kind::Removal, KernelStandIn::kNode});
        clock.Advance(500'000);
        kernel.Enumerate(devices);
    }
    EXPECT_FALSE(kernel.Present());
    EXPECT_EQ(kernel.Creates(), 2);
    CDevManage::End();
    CDevManage::SetBackend(nullptr);
}

}  // namespace
