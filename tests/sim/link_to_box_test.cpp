// The host's programmer link (CDevManage, CHidDevice) against the simulated
// box, exactly as a run would use it.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "sim/simulator.h"
#include "sim/spi_flash.h"
#include "support/bounded_wait.h"

namespace vexu::sim {
namespace {

class LinkToBox : public ::testing::Test {
protected:
    void TearDown() override { Stop(); }

    void Start(const char* scenario) {
        std::string error;
        backend_ = MakeSimulator(scenario, error);
        ASSERT_TRUE(backend_) << error;
        CDevManage::SetBackend(backend_.get());
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &window_);
        started_ = true;
    }
    void Stop() {
        if (!started_) return;
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
        started_ = false;
    }
    uint64_t Violations() {
        return backend_->Inspect([](SimBox& box) { return box.Counters().violations; });
    }
    std::string ViolationText() {
        return backend_->Inspect([](SimBox& box) {
            std::string text;
            for (const std::string& v : box.Violations()) text += v + "\n";
            return text;
        });
    }

    // The engine's scan patterns: IR(op) to 8, DR out 32 bits to 7.
    uint32_t ReadIdcodeByPlainScans() {
        const unsigned char instruction = 0x0F;
        EXPECT_EQ(CHidDevice::GotoState(kStateTestLogicReset), 1);
        EXPECT_EQ(CHidDevice::GotoState(kStateShiftIr), 1);
        EXPECT_EQ(CHidDevice::ShiftIn(0, 8, &instruction, 1), 1);
        EXPECT_EQ(CHidDevice::GotoState(kStatePauseIr), 1);
        EXPECT_EQ(CHidDevice::GotoState(kStateShiftDr), 1);
        unsigned char id[4] = {};
        EXPECT_EQ(CHidDevice::ShiftOut(32, id), 1);
        EXPECT_EQ(CHidDevice::GotoState(kStatePauseDr), 1);
        return id[0] | id[1] << 8 | id[2] << 16 | static_cast<uint32_t>(id[3]) << 24;
    }
    uint32_t ReadIdcodeByCompositeScan() {
        unsigned char id[4] = {};
        EXPECT_EQ(CHidDevice::ShiftOutEx(kStateShiftIr, 0x0F, kStatePauseIr, 0, 1, 32, id, kStateShiftDr,
                                         kStateRunTestIdle, 0),
                  1);
        return id[0] | id[1] << 8 | id[2] << 16 | static_cast<uint32_t>(id[3]) << 24;
    }
    void EnterSerial() {
        ASSERT_EQ(CHidDevice::SetPort(kSerialPort, 0xFC, 0xFF, nullptr), 1);
        ASSERT_EQ(CHidDevice::SetE2pDelay(40, 2, 22, 3, 3, 3, 3, 22, 2), 1);
        const unsigned char entry[] = {0xFF, 0xFF, 'V', 'O', 'R'};
        unsigned char answer = 0;
        ASSERT_EQ(CHidDevice::SendTransmitCommand(0, 0, 0, entry, 5, &answer, 1), 1);
        ASSERT_EQ(answer, 0xAA);
    }
    uint8_t Transfer1(std::vector<unsigned char> frame) {
        unsigned char answer = 0;
        EXPECT_EQ(CHidDevice::SendTransmitCommand(0, 0, 1, frame.data(), static_cast<unsigned>(frame.size()), &answer, 1),
                  1);
        return answer;
    }

    VirtualClock clock_;
    ScopedClock scoped_{clock_};
    RecordingTarget window_;
    std::unique_ptr<SimBackend> backend_;
    bool started_ = false;
};

TEST_F(LinkToBox, IdcodeReadByJtagScansIsTheConfiguredOne) {
    const struct {
        const char* scenario;
        uint32_t idcode;
    } kCases[] = {
        {"", 0x029121CF},  // the flash-based FPGA of the demo image
        {"jtag=idcode", 0x1A2B3C4D},
        {"jtag=idcode,idcode=0x0BADF00D", 0x0BADF00D},
        {"idcode=0x032141CF", 0x032141CF},
        {"idcode=0xFFFFFFFF,flash=none", 0xFFFFFFFF},
        {"idcode=1", 0x00000001},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.scenario);
        Start(c.scenario);
        EXPECT_EQ(window_.Count(WM_DEVICE_INSERT), 1u);
        ASSERT_EQ(CHidDevice::SetPort(kJtagPort, 0x01, 0x0E, nullptr), 1);
        EXPECT_EQ(ReadIdcodeByPlainScans(), c.idcode);
        EXPECT_EQ(ReadIdcodeByCompositeScan(), c.idcode);
        EXPECT_EQ(backend_->Box().CurrentTapState(), TapState::RunTestIdle);
        EXPECT_EQ(Violations(), 0u) << ViolationText();
        Stop();
        window_.Clear();
    }
}

// Every shape of every command the host can send leaves the box in step:
// each report announced, each reply fetched, nothing left over.
TEST_F(LinkToBox, EveryCommandShapeKeepsBoxAndHostInStep) {
    // State 11 is among the shapes: the box's own check of unused states is off.
    Start("flash=M25P80,allow-unused-states");
    std::vector<unsigned char> in(8192);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<unsigned char>(i * 31 + 7);
    std::vector<unsigned char> out(8192);
    unsigned char result = 0;
    const unsigned char entry[] = {0xFF, 0xFF, 'V', 'O', 'R'};
    unsigned char answer = 0;
    // Plain shifts run in Shift-DR, as the engine's scan patterns put them.
    auto InShiftDr = [] { return CHidDevice::GotoState(kStateShiftDr) == 1; };
    const struct {
        const char* what;
        std::function<int()> call;
    } kShapes[] = {
        {"JTAG port on", [] { return CHidDevice::SetPort(kJtagPort, 0x01, 0x0E, nullptr); }},
        {"SetPort with result", [&] { return CHidDevice::SetPort(kSerialPort, 0xFC, 0xFF, &result); }},
        {"serial mode", [&] { return CHidDevice::SendTransmitCommand(0, 0, 0, entry, 5, &answer, 1); }},
        {"lamps", [] { return CHidDevice::LightLed(1, 2); }},
        {"wait 0", [] { return CHidDevice::WaitCycles(0); }},
        {"wait 1000", [] { return CHidDevice::WaitCycles(1000); }},
        {"wait 65535", [] { return CHidDevice::WaitCycles(65535); }},
        {"state 11", [] { return CHidDevice::GotoState(kStateCaptureDr); }},
        {"shift 384", [&] { return InShiftDr() && CHidDevice::ShiftIn(0, 384, in.data(), 1); }},
        {"shift 385", [&] { return InShiftDr() && CHidDevice::ShiftIn(0, 385, in.data(), 1); }},
        {"shift null data", [&] { return InShiftDr() && CHidDevice::ShiftIn(0, 1000, nullptr, 0); }},
        {"shift offset 8", [&] { return InShiftDr() && CHidDevice::ShiftIn(8, 377, in.data(), 1); }},
        {"shift offset 5", [&] { return InShiftDr() && CHidDevice::ShiftIn(5, 379, in.data(), 1); }},
        {"shift out 0", [&] { return CHidDevice::ShiftOut(0, out.data()); }},
        {"shift out 8", [&] { return InShiftDr() && CHidDevice::ShiftOut(8, out.data()); }},
        {"shift out 65535", [&] { return InShiftDr() && CHidDevice::ShiftOut(65535, out.data()); }},
        {"shift in-out 0", [&] { return CHidDevice::ShiftInOut(0, nullptr, nullptr); }},
        {"shift in-out 1000", [&] { return InShiftDr() && CHidDevice::ShiftInOut(1000, in.data(), out.data()); }},
        {"shift in-out 65535", [&] { return InShiftDr() && CHidDevice::ShiftInOut(65535, in.data(), out.data()); }},
        {"composite in",
         [&] { return CHidDevice::ShiftInEx(4, 0x0F, 8, 31, 1, 3, 700, in.data(), 1, 3, 7, 31); }},
        {"composite out", [&] { return CHidDevice::ShiftOutEx(4, 0x84, 2, 0, 1, 5, out.data(), 3, 2, 0); }},
        {"composite in-out",
         [&] { return CHidDevice::ShiftInOutEx(4, 0x0F, 8, 1, 1, 777, in.data(), out.data(), 3, 9, 1); }},
        {"frames 26", [&] { return CHidDevice::ShiftInFrame(4, 0xC1, 8, 1, 0, 2912, in.data(), 26, 3, 2, 3, 0); }},
        {"frames 128", [&] { return CHidDevice::ShiftInFrame(4, 0xC2, 8, 1, 2, 8192, in.data(), 128, 3, 2, 3, 48); }},
        {"frames without instruction",
         [&] { return CHidDevice::ShiftInFrame(0, 0, 0, 0, 0, 260, in.data(), 26, 3, 2, 0, 0); }},
        {"serial timing", [] { return CHidDevice::SetE2pDelay(40, 2, 22, 3, 3, 3, 3, 22, 2); }},
        {"transmit nothing", [] { return CHidDevice::SendTransmitCommand(0, 0, 1, nullptr, 0, nullptr, 0); }},
        {"transmit 1/1", [&] { return CHidDevice::SendTransmitCommand(0, 0, 1, in.data(), 1, out.data(), 1); }},
        {"transmit 48/48", [&] { return CHidDevice::SendTransmitCommand(0, 0, 1, in.data(), 48, out.data(), 48); }},
        {"transmit 49/49", [&] { return CHidDevice::SendTransmitCommand(0, 0, 1, in.data(), 49, out.data(), 49); }},
        {"transmit 608/305",
         [&] { return CHidDevice::SendTransmitCommand(1, 0x06, 1, in.data(), 608, out.data(), 305); }},
        {"transmit 0/4", [&] { return CHidDevice::SendTransmitCommand(0, 0, 1, nullptr, 0, out.data(), 4); }},
        {"lamps off", [] { return CHidDevice::LightLed(0, 0); }},
    };
    for (const auto& shape : kShapes) {
        EXPECT_EQ(shape.call(), 1) << shape.what;
        EXPECT_FALSE(backend_->Box().CommandInProgress()) << shape.what;
        EXPECT_EQ(Violations(), 0u) << shape.what << "\n" << ViolationText();
    }
    EXPECT_EQ(result, 0x01);
    EXPECT_EQ(answer, 0xAA);
}

TEST_F(LinkToBox, BypassDelaysDataByOneBitAndAnOffPortReadsOnes) {
    Start("");
    ASSERT_EQ(CHidDevice::SetPort(kJtagPort, 0x01, 0x0E, nullptr), 1);
    const unsigned char bypass = 0xFF;
    ASSERT_EQ(CHidDevice::ShiftInEx(kStateShiftIr, bypass, kStatePauseIr, 0, 1, 0, 0, nullptr, 1, 0, 0, 0), 1);
    ASSERT_EQ(CHidDevice::GotoState(kStateShiftDr), 1);
    const unsigned char in[2] = {0x35, 0x81};
    unsigned char out[2] = {};
    ASSERT_EQ(CHidDevice::ShiftInOut(16, in, out), 1);
    EXPECT_EQ(out[0], 0x6A);
    EXPECT_EQ(out[1], 0x02);
    ASSERT_EQ(CHidDevice::SetPort(kJtagPort, 0xFF, 0xFF, nullptr), 1);
    EXPECT_EQ(ReadIdcodeByCompositeScan(), 0xFFFFFFFFu);
    EXPECT_EQ(Violations(), 0u) << ViolationText();
}

TEST_F(LinkToBox, SerialModeEntryAndSignatureOfEveryChip) {
    const struct {
        const char* scenario;
        uint8_t signature;
        uint8_t id;
    } kCases[] = {
        {"flash=M25P20", 0x11, 0x20},
        {"flash=M25P40", 0x12, 0x20},
        {"flash=M25P80", 0x13, 0x20},
        {"flash=TS25L80P", 0x14, 0x20},
        {"flash=none", 0xFF, 0xFF},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.scenario);
        Start(c.scenario);
        EnterSerial();
        EXPECT_EQ(Transfer1({0xAB, 0x00, 0x00, 0x00}), c.signature);
        EXPECT_EQ(Transfer1({0x9F}), c.id);
        const unsigned char leave = 0x55;
        EXPECT_EQ(CHidDevice::SendTransmitCommand(0, 0, 1, &leave, 1, nullptr, 0), 1);
        EXPECT_FALSE(backend_->Box().InSerialMode());
        EXPECT_EQ(Violations(), 0u) << ViolationText();
        Stop();
    }
}

TEST_F(LinkToBox, RefusedOrUnpoweredSerialPortDoesNotAnswerAA) {
    const struct {
        const char* scenario;
        int port;
        uint8_t answer;
    } kCases[] = {{"refuse-serial", kSerialPort, 0x00}, {"", 0, 0xFF}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.scenario);
        Start(c.scenario);
        if (c.port) {
            ASSERT_EQ(CHidDevice::SetPort(c.port, 0xFC, 0xFF, nullptr), 1);
        }
        const unsigned char entry[] = {0xFF, 0xFF, 'V', 'O', 'R'};
        unsigned char answer = 0x42;
        ASSERT_EQ(CHidDevice::SendTransmitCommand(0, 0, 0, entry, 5, &answer, 1), 1);
        EXPECT_EQ(answer, c.answer);
        Stop();
    }
}

TEST_F(LinkToBox, PageProgramEraseAndReadThroughTheLink) {
    Start("flash=M25P40,flash-fill=0xF0");
    EnterSerial();
    // A page program of 256 bytes at page 5, the write enable as prefix.
    std::vector<unsigned char> frame = {0x02, 0x00, 0x05, 0x00};
    for (int i = 0; i < 256; ++i) frame.push_back(static_cast<unsigned char>(i));
    ASSERT_EQ(CHidDevice::SendTransmitCommand(1, 0x06, 1, frame.data(), 260, nullptr, 0), 1);
    EXPECT_EQ(Transfer1({0x05}) & kFlashStatusWip, 0) << "1 ms per report outlasts the program time";
    const unsigned char read[] = {0x03, 0x00, 0x05, 0x00};
    std::vector<unsigned char> page(256);
    ASSERT_EQ(CHidDevice::SendTransmitCommand(0, 0, 1, read, 4, page.data(), 256), 1);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(page[i], i & 0xF0) << i;
    // Sector erase of sector 0 and a busy poll.
    const unsigned char erase[] = {0xD8, 0x00, 0x00, 0x00};
    ASSERT_EQ(CHidDevice::SendTransmitCommand(1, 0x06, 1, erase, 4, nullptr, 0), 1);
    const uint64_t started = clock_.NowUs();
    // The erase takes 0.6 s of virtual time; a chip still busy after 10 s
    // never ends it.
    int polls = 0;
    for (; polls < 500 && (Transfer1({0x05}) & kFlashStatusWip); ++polls) clock_.SleepMs(20);
    ASSERT_LT(polls, 500) << "the erase did not end";
    EXPECT_GT(polls, 10);
    EXPECT_GE(clock_.NowUs() - started, 600'000u);
    const std::vector<uint8_t>& memory = *backend_->Inspect([](SimBox& box) {
        return &static_cast<SpiFlash*>(box.Spi())->Contents();
    });
    EXPECT_TRUE(std::all_of(memory.begin(), memory.begin() + 0x10000, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(memory[0x10000], 0xF0);
    EXPECT_EQ(Violations(), 0u) << ViolationText();
}

TEST_F(LinkToBox, EveryReportCostsTheModelledLatency) {
    Start("latency-us=250");
    const uint64_t before = clock_.NowUs();
    for (int i = 0; i < 10; ++i) ASSERT_EQ(CHidDevice::GotoState(kStateRunTestIdle), 1);
    unsigned char out[125];
    const unsigned char in[125] = {};
    ASSERT_EQ(CHidDevice::ShiftInOut(1000, in, out), 1);  // 3 written, 3 fetched
    EXPECT_EQ(clock_.NowUs() - before, 16u * 250u);
    EXPECT_EQ(backend_->Counters().transfers, 16u);
    EXPECT_EQ(backend_->Counters().latencyUs, 16u * 250u);
}

TEST_F(LinkToBox, UnplugMidCommandMakesTheNextTransferFail) {
    // The state move and the shift's first write and fetch get through,
    // then the box is gone.
    Start("unplug-after=3");
    ASSERT_EQ(CHidDevice::GotoState(kStateShiftDr), 1);
    unsigned char in[125] = {};
    unsigned char out[125] = {};
    EXPECT_EQ(CHidDevice::ShiftInOut(1000, in, out), 0);
    EXPECT_TRUE(backend_->Box().CommandInProgress());
    EXPECT_EQ(window_.Count(WM_DEVICE_REMOVE), 1u);
    EXPECT_EQ(CDevManage::GetHandle(), 0);
    EXPECT_EQ(CHidDevice::GotoState(kStateRunTestIdle), 0);
    EXPECT_FALSE(backend_->Plugged());
    EXPECT_EQ(backend_->Counters().transfers, 3u);
}

TEST_F(LinkToBox, TransferOnAHandleFromBeforeAnUnplugFailsEvenAfterReplug) {
    Start("");
    const HidHandle old = CDevManage::GetHandle();
    ASSERT_NE(old, 0);
    backend_->Unplug();
    backend_->Plug();
    uint8_t report[64] = {1, 0xA1};
    EXPECT_FALSE(backend_->SetFeature(old, report, sizeof report));
    EXPECT_EQ(CHidDevice::LightLed(1, 1), 0) << "a vanished device fails its transfer";
    EXPECT_EQ(window_.Count(WM_DEVICE_REMOVE), 1u);
    // The device manager finds the new box again on the next arrival.
    DevBroadcast arrival{DBT_DEVTYP_DEVICEINTERFACE, 0, {}};
    CDevManage::OnDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, &arrival);
    EXPECT_NE(CDevManage::GetHandle(), 0);
    EXPECT_EQ(CHidDevice::LightLed(1, 1), 1);
    EXPECT_TRUE(backend_->Box().LampOn(1));
}

TEST_F(LinkToBox, AFailedReportDropsTheDevice) {
    Start("fail-report=2");
    EXPECT_EQ(CHidDevice::LightLed(1, 0), 1);
    EXPECT_EQ(CHidDevice::LightLed(0, 1), 0);
    EXPECT_TRUE(backend_->Box().LampOn(1)) << "the lost report never reached the box";
    EXPECT_EQ(window_.Count(WM_DEVICE_REMOVE), 1u);
    EXPECT_EQ(CHidDevice::LightLed(0, 0), 0);
    EXPECT_TRUE(backend_->Plugged());
}

TEST_F(LinkToBox, BoxIsFoundBehindOtherHidDevices) {
    Start("other-hid=0x046D:0xC52B");
    const std::vector<RecordingTarget::Message> messages = window_.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message, WM_DEVICE_INSERT);
    EXPECT_EQ(messages[0].wParam, 2u) << "device index 1 + one interface examined before";
    Stop();
    Start("unplugged");
    EXPECT_EQ(window_.Count(WM_DEVICE_REMOVE), 1u);
    EXPECT_EQ(CHidDevice::LightLed(1, 1), 0);
}

TEST_F(LinkToBox, HotplugEventsFollowPluggingThreaded) {
    Start("unplugged");
    std::unique_ptr<HotplugMonitor> monitor = backend_->MakeHotplugMonitor();
    std::atomic<int> events{0};
    ASSERT_TRUE(monitor->Start([&](const HotplugEvent& event) {
        CDevManage::OnHotplug(event);
        ++events;
    }));
    backend_->Plug();
    ASSERT_TRUE(backend_->WaitForHotplugDelivery());
    EXPECT_NE(CDevManage::GetHandle(), 0);
    EXPECT_EQ(window_.Count(WM_DEVICE_INSERT), 1u);
    EXPECT_EQ(CHidDevice::SetPort(kJtagPort, 0x01, 0x0E, nullptr), 1);
    EXPECT_EQ(ReadIdcodeByCompositeScan(), 0x029121CFu);

    backend_->Unplug();
    ASSERT_TRUE(backend_->WaitForHotplugDelivery());
    EXPECT_EQ(CDevManage::GetHandle(), 0);
    EXPECT_EQ(window_.Count(WM_DEVICE_REMOVE), 2u);  // Start found none, then the removal

    backend_->Plug();
    ASSERT_TRUE(backend_->WaitForHotplugDelivery());
    EXPECT_FALSE(backend_->Box().Port(kJtagPort).on) << "a plugged box starts with its ports off";
    EXPECT_EQ(ReadIdcodeByCompositeScan(), 0xFFFFFFFFu);
    monitor->Stop();
    EXPECT_EQ(events.load(), 3);
    EXPECT_EQ(Violations(), 0u) << ViolationText();
}

TEST_F(LinkToBox, UnplugFromAnotherThreadDuringARunThreaded) {
    Start("");
    ASSERT_EQ(CHidDevice::SetPort(kJtagPort, 0x01, 0x0E, nullptr), 1);
    std::atomic<bool> failed{false};
    std::atomic<int> scans{0};
    std::atomic<int> wrongIdcodes{0};
    std::atomic<bool> workerDone{false};
    std::thread worker([&] {
        // Scans until the box's removal makes one fail; a removal that never
        // reaches the link ends the loop after its limit.
        for (int i = 0; i < 1'000'000 && !failed; ++i) {
            unsigned char id[4] = {};
            if (CHidDevice::ShiftOutEx(kStateShiftIr, 0x0F, kStatePauseIr, 0, 1, 32, id, kStateShiftDr,
                                       kStateRunTestIdle, 0) != 1) {
                failed = true;
            } else if ((id[0] | id[1] << 8 | id[2] << 16 | static_cast<uint32_t>(id[3]) << 24) != 0x029121CFu) {
                ++wrongIdcodes;
            }
            ++scans;
        }
        workerDone = true;
    });
    EXPECT_TRUE(vexu::test::WaitUntil([&] { return scans >= 5 || failed; }, [&] { return workerDone.load(); }))
        << "the worker made " << scans << " scans";
    backend_->Unplug();
    worker.join();
    EXPECT_TRUE(failed.load()) << "the removal never reached the worker's transfers";
    EXPECT_EQ(wrongIdcodes.load(), 0);
    EXPECT_EQ(CHidDevice::GotoState(kStateRunTestIdle), 0);
    EXPECT_EQ(CDevManage::GetHandle(), 0);
    EXPECT_EQ(window_.Count(WM_DEVICE_REMOVE), 1u);
}

}  // namespace
}  // namespace vexu::sim
