// Whole runs (FPGA "program" of the demo image, then the serial flash) on
// the simulated board with the link failing at a chosen report: the box
// unplugged, one transfer lost, or one fetched report corrupted. Every run
// must end either failed with its step's failure text, or successful with
// the board holding exactly both images — never successful with a wrong
// board — and the next run after the fault must succeed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "link/dev_manage.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "platform/trace.h"
#include "run/eeprom_job.h"
#include "run/fpga_job.h"
#include "common/image_buffers.h"
#include "run/image_load.h"
#include "common/run_messages.h"
#include "run/thread_action.h"
#include "sim/fpga_model.h"
#include "sim/simulator.h"
#include "sim/spi_flash.h"
#include "support/bounded_wait.h"
#include "tools/image/demo_images.h"
#include "tools/image/image_builder.h"

namespace {

using vexu::sim::SimBackend;

struct RunOutcome {
    vexu::WPARAM step = 0;
    vexu::LPARAM result = 0;
    std::string failure;
    uint64_t virtualUs = 0;
};

// Where each phase of a healthy run begins, in reports since the run began.
struct Phase {
    const char* marker;  // trace text that opens it
    const char* name;
};

constexpr Phase kPhases[] = {
    {"Enable Jtag Port.", "ports"},
    {"\r\nReading Security...", "security read"},
    {"\r\nPerforming Data Authentication...", "authentication"},
    {"\r\nErase...", "erase"},
    {"\r\nProgramming FPGA Array...", "array rows"},
    {"\r\nVerifying FPGA Array...", "array verify"},
    {"\r\nProgramming RLOCK...", "RLOCK"},
    {"\r\nProgramming FlashROM...", "FlashROM"},
    {"\r\nVerifying FlashROM...", "FlashROM verify"},
    {"\r\nProgramming SILSIG...", "silicon signature"},
    {"\r\nProgramming Security...", "security"},
    {"\r\nProgramming UROW...", "UROW"},
    {"Enable Eeprom Port.", "serial port"},
    {"Entry Eeprom Mode.", "serial-mode entry"},
    {"\r\nErase Eeprom...", "flash erase"},
    {"\r\nWrite,Read And Check Eeprom...", "flash pages"},
    {"Exit Eeprom Mode.", "serial-mode exit"},
    {"Disable Jtag Port.", "ports off"},
};

// The texts each step's job can fail with.
bool IsFpgaFailureText(const std::string& text) {
    for (unsigned code = 1; code <= 255; ++code)
        if (text == FpgaErrorMessage(code) && text != "????????") return true;
    return false;
}

bool IsEepromFailureText(const std::string& text) {
    for (const char* known : {kEepromEntryFailed, kEepromIdError, kEepromImageTooLarge, kEepromDeviceError,
                              kEepromWriteError, kEepromReadError, kEepromCheckError})
        if (text == known) return true;
    return false;
}

// Fault points per sweep: 200, or VEXU_FAULT_POINTS (the sanitizer build
// runs fewer; every point is a whole run).
size_t SweepPoints() {
    const char* text = std::getenv("VEXU_FAULT_POINTS");
    const long points = text ? std::strtol(text, nullptr, 10) : 0;
    return points > 0 ? static_cast<size_t>(points) : 200;
}

// Each sweep is cut into shards that ctest runs side by side; a shard takes
// every kShards-th fault point.
constexpr size_t kShards = 10;

class FaultMatrixTest : public ::testing::TestWithParam<size_t> {
protected:
    // With fewer points than shards (the sanitizer build), the shards past
    // the last point have nothing to do.
    bool ShardIsEmpty() const { return GetParam() >= SweepPoints(); }

    static void SetUpTestSuite() {
        LoadFpgaData();
        LoadEepromData();
    }
    static void TearDownTestSuite() { FreeImageData(); }

    void SetUp() override {
        ASSERT_NE(g_fpgaSize, 0u);
        ASSERT_NE(g_eepromSize, 0u);
        InitMsgQueue(&window);
    }
    void TearDown() override {
        FreeMsgQueue();
        StopBox();
    }

    void StartBox(const std::string& scenario = "") {
        StopBox();
        std::string error;
        sim = vexu::sim::MakeSimulator(scenario, error);
        ASSERT_TRUE(sim) << error;
        CDevManage::SetBackend(sim.get());
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &devices);
        devices.Clear();
    }
    void StopBox() {
        if (!sim) return;
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
        sim.reset();
    }

    RunOutcome Run() {
        RunOutcome outcome;
        const uint64_t startUs = clock.NowUs();
        CThreadAction worker;
        SetRunError("");
        worker.StartAction(1, 1, &window);
        vexu::MessageQueue::Message m;
        for (;;) {
            // The worker is still in its run and cannot be joined.
            if (!window.Wait(m, std::chrono::seconds(120))) vexu::test::AbandonTest("the run did not end within 120 s");
            if (m.message == vexu::WM_RUN_TEXT) GetMsgText();
            if (m.message != vexu::WM_RUN_END) continue;
            outcome.step = m.wParam;
            outcome.result = m.lParam;
            break;
        }
        worker.End();
        outcome.failure = GetRunError();
        outcome.virtualUs = clock.NowUs() - startUs;
        return outcome;
    }

    // True when the board holds both images: the serial flash the whole
    // serial-flash image, the FPGA every array row and the RLOCK of the demo image.
    bool BoardHoldsImages() {
        static const vexu::image::ImageParts parts = vexu::image::DemoFpgaParts();
        vexu::image::DeviceGeometry geometry;
        if (!vexu::image::GeometryForIdCode(parts.idCode, geometry)) return false;
        return sim->Inspect([&](vexu::sim::SimBox& box) {
            auto* flash = dynamic_cast<vexu::sim::SpiFlash*>(box.Spi());
            auto* fpga = dynamic_cast<vexu::sim::FpgaModel*>(box.Jtag());
            if (!flash || !fpga) return false;
            const auto& contents = flash->Contents();
            if (contents.size() < g_eepromSize || !std::equal(g_eepromData, g_eepromData + g_eepromSize, contents.begin()))
                return false;
            const size_t rowBytes = geometry.PlainRowBytes();
            for (uint32_t k = 0; k < geometry.arrayRowCount; ++k) {
                std::span<const uint8_t> row = fpga->ArrayRow(geometry.arrayRowCount - 1 - k);
                if (!std::equal(row.begin(), row.end(), parts.arrayRows.begin() + k * rowBytes,
                                parts.arrayRows.begin() + (k + 1) * rowBytes))
                    return false;
            }
            return std::equal(fpga->Rlock().begin(), fpga->Rlock().end(), parts.rlock.begin(), parts.rlock.end());
        });
    }

    // A healthy run, noting the report count at which each phase begins.
    std::map<std::string, uint64_t> MeasurePhases(uint64_t& totalReports) {
        StartBox();
        std::map<std::string, uint64_t> starts;
        vexu::TraceObserver observer([&](std::string_view line) {
            for (const Phase& phase : kPhases)
                if (line.find(phase.marker) != std::string_view::npos && !starts.count(phase.name))
                    starts[phase.name] = sim->Counters().transfers;
        });
        const RunOutcome outcome = Run();
        EXPECT_EQ(outcome.result, RUN_OK) << outcome.failure;
        EXPECT_EQ(sim->Inspect([](vexu::sim::SimBox& box) { return box.Counters().violations; }), 0u);
        totalReports = sim->Counters().transfers;
        return starts;
    }

    // This shard's part of at least `count` report numbers: the first
    // reports of every phase and an even spread over the whole run.
    std::vector<uint64_t> FaultPoints(size_t count) {
        if (GetParam() >= count) {
            ADD_FAILURE() << "shard " << GetParam() << " has no fault points";
            return {};
        }
        uint64_t total = 0;
        const std::map<std::string, uint64_t> starts = MeasurePhases(total);
        EXPECT_EQ(starts.size(), std::size(kPhases) - 1);  // the demo image is plain: no authentication
        std::set<uint64_t> points;
        // A fault must hit a transfer of the run: after report k, report k + 1 is the victim.
        const uint64_t last = total - 1;
        for (const auto& [name, start] : starts)
            for (uint64_t k = start; k < start + 6; ++k) points.insert(std::clamp<uint64_t>(k, 1, last));
        for (uint64_t i = 1; points.size() < count; ++i) points.insert(std::clamp<uint64_t>(last * i / count, 1, last));
        std::vector<uint64_t> shard;
        size_t index = 0;
        for (uint64_t k : points)
            if (index++ % kShards == GetParam()) shard.push_back(k);
        return shard;
    }

    // Failed with the text of the step it failed in, or — when the fault hit
    // after both jobs had finished (the lamps and ports going off) — passed
    // with the board holding both images. A fault that lost the box (linkLost)
    // says so first, before the job's own text; one that did not, never.
    void ExpectHonestEnd(const RunOutcome& outcome, uint64_t k, bool linkLost) {
        // Whatever the fault did to the run, the scans kept to the states
        // the programmer uses.
        EXPECT_EQ(sim->Inspect([](vexu::sim::SimBox& box) { return box.Counters().unusedStates; }), 0u) << k;
        if (outcome.result == RUN_OK) {
            EXPECT_TRUE(BoardHoldsImages()) << "run passed with a wrong board, fault at report " << k;
            return;
        }
        EXPECT_EQ(outcome.result, RUN_FAILED) << "fault at report " << k;
        const bool fpga = outcome.step == STEP_FPGA;
        const std::string lost = std::string("The programmer box was removed or stopped answering during the ") +
                                 (fpga ? "FPGA" : "serial-flash") + " step. ";
        std::string jobText = outcome.failure;
        EXPECT_EQ(jobText.starts_with(lost), linkLost) << k << ": " << outcome.failure;
        if (jobText.starts_with(lost)) jobText.erase(0, lost.size());
        if (fpga)
            EXPECT_TRUE(IsFpgaFailureText(jobText)) << k << ": " << outcome.failure;
        else
            EXPECT_TRUE(outcome.step == STEP_EEPROM && IsEepromFailureText(jobText)) << k << ": " << outcome.failure;
    }

    vexu::VirtualClock clock;
    vexu::ScopedClock useClock{clock};
    std::unique_ptr<SimBackend> sim;
    vexu::RecordingTarget devices;
    vexu::MessageQueue window;
};

// A healthy run is far shorter than this in virtual time; a failing one must
// not take longer.
constexpr uint64_t kRunBoundUs = 30ull * 60 * 1'000'000;

TEST_P(FaultMatrixTest, ThreadedUnplugAfterEveryPhase) {
    if (ShardIsEmpty()) GTEST_SKIP() << "no fault points for this shard";
    const std::vector<uint64_t> points = FaultPoints(SweepPoints());
    ASSERT_GE(points.size(), SweepPoints() / kShards);
    size_t replugged = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        const uint64_t k = points[i];
        StartBox("unplug-after=" + std::to_string(k));
        const RunOutcome outcome = Run();
        ExpectHonestEnd(outcome, k, true);
        EXPECT_EQ(devices.Count(vexu::WM_DEVICE_REMOVE), 1u) << k;
        EXPECT_LT(outcome.virtualUs, kRunBoundUs) << k;
        // Plugged in again (every fifth point: a full run each), the next run succeeds.
        if (i % 5 == 0) {
            sim->Plug();
            CDevManage::FindDevice();
            ASSERT_NE(CDevManage::GetHandle(), 0) << k;
            const RunOutcome again = Run();
            EXPECT_EQ(again.result, RUN_OK) << k << ": " << again.failure;
            EXPECT_TRUE(BoardHoldsImages()) << k;
            ++replugged;
        }
    }
    EXPECT_GE(replugged, 1u);
}

TEST_P(FaultMatrixTest, ThreadedOneLostTransfer) {
    if (ShardIsEmpty()) GTEST_SKIP() << "no fault points for this shard";
    for (uint64_t k : FaultPoints(SweepPoints())) {
        StartBox("fail-report=" + std::to_string(k));
        const RunOutcome outcome = Run();
        ExpectHonestEnd(outcome, k, true);
        EXPECT_EQ(devices.Count(vexu::WM_DEVICE_REMOVE), 1u) << k;
        EXPECT_LT(outcome.virtualUs, kRunBoundUs) << k;
    }
}

TEST_P(FaultMatrixTest, ThreadedCorruptedFetchNeverPassesWithAWrongBoard) {
    if (ShardIsEmpty()) GTEST_SKIP() << "no fault points for this shard";
    size_t failed = 0;
    for (uint64_t k : FaultPoints(SweepPoints())) {
        StartBox("corrupt-fetch=" + std::to_string(k));
        const RunOutcome outcome = Run();
        EXPECT_LT(outcome.virtualUs, kRunBoundUs) << k;
        ExpectHonestEnd(outcome, k, false);
        failed += outcome.result == RUN_FAILED;
    }
    // Corrupted answers are seen: in read-back, verify or a status check.
    EXPECT_GT(failed, 0u);
}

INSTANTIATE_TEST_SUITE_P(Shards, FaultMatrixTest, ::testing::Range<size_t>(0, kShards));

}  // namespace
