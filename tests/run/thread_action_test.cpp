// The run worker on its own thread: the order of a run, which steps run,
// what reaches the window, and waiting for a run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "link/dev_manage.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "platform/trace.h"
#include "common/run_messages.h"
#include "run/thread_action.h"
#include "sim/simulator.h"
#include "support/bounded_wait.h"
#include "support/temp_dir.h"

namespace {

using vexu::MessageQueue;

// Job stand-ins that record their calls and can be held inside the job.
struct FakeJobs {
    std::atomic<int> fpgaCalls{0};
    std::atomic<int> eepromCalls{0};
    int fpgaResult = 1;
    int eepromResult = 1;
    std::string fpgaText = "fpga failed";
    std::string eepromText = "eeprom failed";
    uint32_t fpgaId = 0x029121CF;
    std::string chip = "M25P40";
    std::mutex mutex;
    std::condition_variable changed;
    bool holdFpga = false;
    bool insideFpga = false;

    RunJobs Jobs() {
        return RunJobs{[this](const char* action) {
                           EXPECT_STREQ(action, "program");
                           ++fpgaCalls;
                           std::unique_lock<std::mutex> lock(mutex);
                           insideFpga = true;
                           changed.notify_all();
                           // A test that failed before it let go does not keep the run forever.
                           if (!changed.wait_for(lock, vexu::test::kWaitLimit, [this] { return !holdFpga; }))
                               ADD_FAILURE() << "the test never let the FPGA job go on";
                           vexu::GetClock().SleepMs(3000);
                           return fpgaResult;
                       },
                       [this] { return fpgaText; },
                       [this] {
                           ++eepromCalls;
                           vexu::GetClock().SleepMs(1500);
                           return eepromResult;
                       },
                       [this] { return eepromText; },
                       [this] { return fpgaId; },
                       [this] { return chip; },
                       {}};
    }
    void Release() {
        std::lock_guard<std::mutex> guard(mutex);
        holdFpga = false;
        changed.notify_all();
    }
    void WaitInsideFpga() {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, vexu::test::kWaitLimit, [this] { return insideFpga; }))
            ADD_FAILURE() << "the run never reached the FPGA job";
    }
};

class ThreadActionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        sim = vexu::sim::MakeSimulator("", error);
        ASSERT_TRUE(sim) << error;
        CDevManage::SetBackend(sim.get());
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &deviceEvents);
        InitMsgQueue(&window);
        SetRunError("");
        SetRunLogPath(runLog);
    }
    void TearDown() override {
        SetRunLogPath("");
        FreeMsgQueue();
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
    }

    // Everything the run posted up to and including WM_RUN_END, with the
    // text of each WM_RUN_TEXT.
    struct Posted {
        uint32_t message;
        vexu::WPARAM w;
        vexu::LPARAM l;
        std::string text;
    };
    std::vector<Posted> WaitForEnd() {
        std::vector<Posted> posted;
        MessageQueue::Message m;
        while (window.Wait(m, std::chrono::seconds(30))) {
            posted.push_back({m.message, m.wParam, m.lParam,
                              m.message == vexu::WM_RUN_TEXT ? GetMsgText() : std::string()});
            if (m.message == vexu::WM_RUN_END) return posted;
        }
        // The worker is still in its run and cannot be joined.
        vexu::test::AbandonTest("the run did not end within 30 s");
    }

    vexu::VirtualClock clock;
    vexu::ScopedClock useClock{clock};
    vexu::test::TempDir stateDir;
    std::string runLog = stateDir.File("runs.log");
    std::unique_ptr<vexu::sim::SimBackend> sim;
    vexu::RecordingTarget deviceEvents;
    MessageQueue window;
    FakeJobs jobs;
};

TEST_F(ThreadActionTest, ThreadedRunWithBothPartsOff) {
    CThreadAction worker(jobs.Jobs());
    vexu::TraceCapture trace;
    worker.StartAction(0, 0, &window);
    auto posted = WaitForEnd();
    worker.End();
    ASSERT_EQ(posted.size(), 4u);
    EXPECT_EQ(posted[0].message, vexu::WM_RUN_START);
    EXPECT_EQ(posted[1].text, "SetFpgaProgress");
    EXPECT_EQ(posted[1].w, 0u);
    EXPECT_EQ(posted[2].text, "SetEepromProgress");
    EXPECT_EQ(posted[3].w, 0u);  // no step ran
    EXPECT_EQ(posted[3].l, RUN_OK);
    EXPECT_EQ(jobs.fpgaCalls + jobs.eepromCalls, 0);
    EXPECT_EQ(trace.Count("Enable Jtag Port.\r\n"), 1u);
    EXPECT_EQ(trace.Count("Disable Jtag Port.\r\n"), 1u);
    EXPECT_EQ(trace.Count("Elapsed time ="), 0u);
    sim->Inspect([](vexu::sim::SimBox& box) {
        EXPECT_FALSE(box.LampOn(1));
        EXPECT_FALSE(box.LampOn(2));
        EXPECT_FALSE(box.Port(1).on);
    });
}

TEST_F(ThreadActionTest, ThreadedSerialFlashOnly) {
    CThreadAction worker(jobs.Jobs());
    vexu::TraceCapture trace;
    worker.StartAction(0, 1, &window);
    auto posted = WaitForEnd();
    worker.End();
    EXPECT_EQ(jobs.fpgaCalls, 0);
    EXPECT_EQ(jobs.eepromCalls, 1);
    EXPECT_EQ(posted.back().w, STEP_EEPROM);
    EXPECT_EQ(posted.back().l, RUN_OK);
    ASSERT_GE(posted.size(), 2u);
    EXPECT_EQ(posted[posted.size() - 2].text, "SetEepromProgress");
    EXPECT_EQ(posted[posted.size() - 2].w, 100u);
    EXPECT_EQ(trace.Count("Enable Eeprom Port.\r\n"), 1u);
    EXPECT_EQ(trace.Count("Disable Eeprom Port.\r\n"), 1u);
    EXPECT_EQ(trace.Count("Elapsed time =00:00:"), 1u);
}

TEST_F(ThreadActionTest, ThreadedFpgaFailureSkipsTheSerialFlash) {
    jobs.fpgaResult = 0;
    CThreadAction worker(jobs.Jobs());
    vexu::TraceCapture trace;
    worker.StartAction(1, 1, &window);
    auto posted = WaitForEnd();
    worker.End();
    EXPECT_EQ(jobs.eepromCalls, 0);
    EXPECT_EQ(posted.back().w, STEP_FPGA);
    EXPECT_EQ(posted.back().l, RUN_FAILED);
    EXPECT_EQ(GetRunError(), "fpga failed");
    EXPECT_TRUE(trace.Contains("fpga failed\r\n"));
    for (const auto& p : posted) EXPECT_FALSE(p.text == "SetFpgaProgress" && p.w == 100);
    // The next run starts both bars at 0 again and succeeds; the old text stays
    // where it was but no failure is reported.
    jobs.fpgaResult = 1;
    worker.StartAction(1, 1, &window);
    posted = WaitForEnd();
    worker.End();
    EXPECT_EQ(posted[1].text, "SetFpgaProgress");
    EXPECT_EQ(posted[1].w, 0u);
    EXPECT_EQ(posted.back().w, STEP_EEPROM);
    EXPECT_EQ(posted.back().l, RUN_OK);
}

TEST_F(ThreadActionTest, ThreadedSerialFlashFailureStillSwitchesPortsOff) {
    jobs.eepromResult = 0;
    CThreadAction worker(jobs.Jobs());
    worker.StartAction(1, 1, &window);
    auto posted = WaitForEnd();
    worker.End();
    EXPECT_EQ(posted.back().w, STEP_EEPROM);
    EXPECT_EQ(posted.back().l, RUN_FAILED);
    EXPECT_EQ(GetRunError(), "eeprom failed");
    sim->Inspect([](vexu::sim::SimBox& box) {
        EXPECT_FALSE(box.Port(1).on);
        EXPECT_FALSE(box.Port(2).on);
        EXPECT_FALSE(box.LampOn(1));
    });
}

TEST_F(ThreadActionTest, ThreadedSecondStartWhileRunningIsIgnored) {
    jobs.holdFpga = true;
    CThreadAction worker(jobs.Jobs());
    worker.StartAction(1, 0, &window);
    jobs.WaitInsideFpga();
    EXPECT_TRUE(worker.IsRunning());
    worker.StartAction(1, 1, &window);
    jobs.Release();
    auto posted = WaitForEnd();
    worker.End();
    EXPECT_EQ(jobs.fpgaCalls, 1);
    EXPECT_EQ(jobs.eepromCalls, 0);
    EXPECT_EQ(posted.back().w, STEP_FPGA);
    MessageQueue::Message m;
    EXPECT_FALSE(window.TryTake(m));
}

TEST_F(ThreadActionTest, ThreadedEndWaitsForTheRun) {
    jobs.holdFpga = true;
    CThreadAction worker(jobs.Jobs());
    worker.StartAction(1, 0, &window);
    jobs.WaitInsideFpga();
    std::atomic<bool> ended{false};
    std::thread closer([&] {
        worker.End();
        ended = true;
    });
    EXPECT_FALSE(ended.load());
    jobs.Release();
    closer.join();
    EXPECT_TRUE(ended.load());
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(WaitForEnd().back().message, vexu::WM_RUN_END);
}

TEST_F(ThreadActionTest, EndWithoutARunOnlyTraces) {
    CThreadAction worker(jobs.Jobs());
    vexu::TraceCapture trace;
    worker.End();
    worker.End();
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"    CThreadAction::End() \r\n", "    CThreadAction::End() \r\n"}));
}

// Every run leaves its line in the run log before the window hears that it
// ended: which steps ran, how they ended, what they found and how long the
// jobs took.
TEST_F(ThreadActionTest, ThreadedEveryRunLeavesItsRecord) {
    using Outcome = RunStepRecord::Outcome;
    struct Case {
        int doFpga, doEeprom, fpgaResult, eepromResult;
        Outcome fpga, eeprom;
        const char* failure;
    };
    const Case cases[] = {
        {0, 0, 1, 1, Outcome::kOff, Outcome::kOff, ""},
        {1, 1, 1, 1, Outcome::kOk, Outcome::kOk, ""},
        {1, 1, 0, 1, Outcome::kFailed, Outcome::kSkipped, "fpga failed"},
        {1, 1, 1, 0, Outcome::kOk, Outcome::kFailed, "eeprom failed"},
        {0, 1, 1, 1, Outcome::kOff, Outcome::kOk, ""},
    };
    CThreadAction worker(jobs.Jobs());
    size_t runs = 0;
    for (const Case& c : cases) {
        jobs.fpgaResult = c.fpgaResult;
        jobs.eepromResult = c.eepromResult;
        worker.StartAction(c.doFpga, c.doEeprom, &window);
        WaitForEnd();
        const auto lines = vexu::test::ReadLines(runLog);
        worker.End();
        const RunRecord& record = worker.LastRecord();
        ASSERT_EQ(lines.size(), ++runs);
        EXPECT_EQ(lines.back(), FormatRunRecord(record));
        EXPECT_EQ(record.box, vexu::sim::SimBackend::kBoxPath);
        EXPECT_EQ(record.fpga.outcome, c.fpga) << runs;
        EXPECT_EQ(record.eeprom.outcome, c.eeprom) << runs;
        EXPECT_EQ(record.ok, *c.failure == 0) << runs;
        EXPECT_EQ(record.failure, c.failure) << runs;
        EXPECT_EQ(record.fpgaId.has_value(), StepRan(record.fpga)) << runs;
        if (StepRan(record.fpga)) {
            EXPECT_EQ(record.fpga.durationUs, 3'000'000u);
        }
        if (StepRan(record.eeprom)) {
            EXPECT_EQ(record.eeprom.durationUs, 1'500'000u);
            EXPECT_EQ(record.chip, "M25P40");
        }
    }
}

TEST(RunTimer, ElapsedTextIsHoursMinutesSeconds) {
    vexu::VirtualClock clock;
    vexu::ScopedClock useClock{clock};
    CRunTimer timer;
    timer.Start();
    clock.Advance(uint64_t{3725} * 1'000'000);
    EXPECT_EQ(timer.ElapsedText(), "01:02:05");
}

}  // namespace
