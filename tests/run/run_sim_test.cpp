// Whole runs on the real worker with the real jobs against the simulated box
// and board, in virtual time: what the board holds afterwards, and a box
// pulled out in the middle of a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "link/dev_manage.h"
#include "platform/clock.h"
#include "platform/digest.h"
#include "platform/message_queue.h"
#include "common/image_buffers.h"
#include "common/run_messages.h"
#include "run/thread_action.h"
#include "sim/fpga_model.h"
#include "sim/simulator.h"
#include "sim/spi_flash.h"
#include "support/bounded_wait.h"
#include "support/temp_dir.h"
#include "tools/image/demo_images.h"

namespace {

using vexu::MessageQueue;


class RunSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        fpgaImage = vexu::image::MakeDemoFpgaImage();
        eepromImage = vexu::image::MakeDemoEepromImage();
        g_fpgaData = fpgaImage.data();
        g_fpgaSize = static_cast<uint32_t>(fpgaImage.size());
        g_eepromData = eepromImage.data();
        g_eepromSize = static_cast<uint32_t>(eepromImage.size());
        SetRunLogPath(stateDir.File("runs.log"));
    }
    void TearDown() override {
        FreeMsgQueue();
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
        SetRunLogPath("");
        g_fpgaData = g_eepromData = nullptr;
        g_fpgaSize = g_eepromSize = 0;
    }

    void Start(const std::string& keys) {
        MessageQueue::Message stale;
        while (window.TryTake(stale)) {
        }
        std::string error;
        sim = vexu::sim::MakeSimulator(keys, error);
        ASSERT_TRUE(sim) << error;
        CDevManage::SetBackend(sim.get());
        // Box events and run messages reach the same queue, as in the window.
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &window);
        InitMsgQueue(&window);
    }

    // Handles the messages as the window does until the end of the run:
    // a removed box makes it wait for the run with End. Returns the end
    // message; removedAtUs is the virtual time the removal was seen.
    MessageQueue::Message RunToEnd(CThreadAction& worker, uint64_t* removedAtUs = nullptr) {
        MessageQueue::Message m{};
        for (;;) {
            // The worker is still in its run and cannot be joined.
            if (!window.Wait(m, std::chrono::seconds(60))) vexu::test::AbandonTest("the run did not end within 60 s");
            if (m.message == vexu::WM_RUN_TEXT) GetMsgText();
            if (m.message == vexu::WM_DEVICE_REMOVE) {
                if (removedAtUs) *removedAtUs = clock.NowUs();
                worker.End();
            }
            if (m.message == vexu::WM_RUN_END) break;
        }
        worker.End();
        return m;
    }

    vexu::VirtualClock clock;
    vexu::ScopedClock useClock{clock};
    vexu::test::TempDir stateDir;
    std::vector<uint8_t> fpgaImage;
    std::vector<uint8_t> eepromImage;
    std::unique_ptr<vexu::sim::SimBackend> sim;
    MessageQueue window;
};

TEST_F(RunSimTest, ThreadedFullRunLeavesBothImagesOnTheBoard) {
    Start("flash=M25P80");
    CThreadAction worker;
    worker.StartAction(1, 1, &window);
    const MessageQueue::Message end = RunToEnd(worker);
    const RunRecord& record = worker.LastRecord();
    EXPECT_EQ(record.fpgaId, vexu::image::kDemoIdCode);
    const auto& flash = *dynamic_cast<vexu::sim::SpiFlash*>(sim->Box().Spi());
    EXPECT_EQ(end.wParam, STEP_EEPROM);
    ASSERT_EQ(end.lParam, RUN_OK) << GetRunError();
    EXPECT_EQ(record.chip, "M25P80");
    EXPECT_TRUE(std::equal(eepromImage.begin(), eepromImage.end(), flash.Contents().begin()));
    EXPECT_TRUE(std::all_of(flash.Contents().begin() + eepromImage.size(), flash.Contents().end(),
                            [](uint8_t b) { return b == 0xFF; }));
    // The k-th row of the image lands in row count - 1 - k.
    const auto& fpga = *static_cast<vexu::sim::FpgaModel*>(sim->Box().Jtag());
    const vexu::image::ImageParts parts = vexu::image::DemoFpgaParts();
    const uint32_t rowBytes = fpga.RowBytes();
    const uint32_t rows = static_cast<uint32_t>(parts.arrayRows.size() / rowBytes);
    ASSERT_GT(rows, 0u);
    size_t wrongRows = 0;
    for (uint32_t k = 0; k < rows; ++k) {
        const auto row = fpga.ArrayRow(rows - 1 - k);
        const auto expected = parts.arrayRows.begin() + size_t{k} * rowBytes;
        wrongRows += row.size() != rowBytes || !std::equal(row.begin(), row.end(), expected);
    }
    EXPECT_EQ(wrongRows, 0u);
    EXPECT_TRUE(std::equal(fpga.Rlock().begin(), fpga.Rlock().end(), parts.rlock.begin(), parts.rlock.end()));
    // Every report as the box expects it, every TAP state one the programmer uses.
    EXPECT_EQ(sim->Box().Counters().violations, 0u) << (sim->Box().Violations().empty() ? "" : sim->Box().Violations()[0]);
}

// What went onto the board is in its record: the program, the box and
// where it sits, the images by their digests, and the design as written
// into the FPGA's user row, whose cycle count goes up with each program.
TEST_F(RunSimTest, ThreadedRecordsTellWhatWentOntoTheBoard) {
    Start("boxes=2");
    CThreadAction worker;
    for (uint32_t cycles = 1; cycles <= 2; ++cycles) {
        SCOPED_TRACE(cycles);
        worker.StartAction(1, 1, &window);
        ASSERT_EQ(RunToEnd(worker).lParam, RUN_OK) << GetRunError();
        const RunRecord& record = worker.LastRecord();
        EXPECT_EQ(record.version, ProgramVersion());
        EXPECT_EQ(record.box, "sim://vexu-box");
        EXPECT_EQ(record.location, "sim-1");
        EXPECT_EQ(record.boxSerial, "SIM0001");
        EXPECT_EQ(record.fpgaImageSha256, vexu::Sha256Hex(fpgaImage.data(), fpgaImage.size()));
        EXPECT_EQ(record.eepromImageSha256, vexu::Sha256Hex(eepromImage.data(), eepromImage.size()));
        EXPECT_EQ(record.eepromBytes, eepromImage.size());
        ASSERT_TRUE(record.design);
        EXPECT_EQ(record.design->name, "VEXUDEMO1");
        EXPECT_EQ(record.design->checksum, vexu::image::DemoFpgaParts().designChecksum.value_or(0));
        EXPECT_EQ(record.design->cycles, cycles);
    }
    // A run that loses its box before the FPGA is programmed has no design.
    vexu::sim::UsbSettings usb;
    usb.unplugAfter = sim->Counters().transfers + 100;
    sim->SetUsbSettings(usb);
    worker.StartAction(1, 1, &window);
    EXPECT_EQ(RunToEnd(worker).lParam, RUN_FAILED);
    EXPECT_FALSE(worker.LastRecord().design);
    EXPECT_FALSE(worker.LastRecord().fpgaImageSha256.empty());
}

// The box goes away in the middle of a step: the transfers fail at once,
// the step fails, the run ends without spending more modelled time, and
// End, called on the removal as the window calls it, returns. The failure
// says first that the box went, then what the step's own checks made of it;
// an ID the engine never got an answer for is not recorded.
TEST_F(RunSimTest, ThreadedUnplugMidRunEndsPromptly) {
    struct Case {
        const char* what;
        int doFpga;
        const char* keys;
        vexu::WPARAM step;
        const char* failure;  // how the failure text begins
        bool idRead;
    };
    const Case cases[] = {
        {"in the serial-flash step", 0, "unplug-after=3000", STEP_EEPROM,
         "The programmer box was removed or stopped answering during the serial-flash step. Device Write Error",
         false},
        {"in the FPGA array", 1, "unplug-after=5000", STEP_FPGA,
         "The programmer box was removed or stopped answering during the FPGA step. Failed to program FlashROM",
         true},  // engine code 10
        {"before the FPGA was identified", 1, "unplug-after=6", STEP_FPGA,
         "The programmer box was removed or stopped answering during the FPGA step. "
         "The IDCODE of the target device does not match",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.keys);
        CThreadAction worker;
        worker.StartAction(c.doFpga, 1, &window);
        uint64_t removedAtUs = 0;
        const MessageQueue::Message end = RunToEnd(worker, &removedAtUs);
        EXPECT_EQ(end.message, vexu::WM_RUN_END);
        EXPECT_EQ(end.wParam, c.step);
        EXPECT_EQ(end.lParam, RUN_FAILED);
        ASSERT_NE(removedAtUs, 0u);
        EXPECT_LT(clock.NowUs() - removedAtUs, 1'000'000u);
        EXPECT_EQ(worker.LastRecord().failure.rfind(c.failure, 0), 0u) << worker.LastRecord().failure;
        EXPECT_EQ(GetRunError(), worker.LastRecord().failure);  // the window's message box
        EXPECT_EQ(worker.LastRecord().fpgaId.has_value(), c.idRead);
        // The box was never reached again after it went.
        EXPECT_EQ(sim->Counters().failedTransfers, 1u);
        FreeMsgQueue();
        CDevManage::End();
    }
}

}  // namespace
