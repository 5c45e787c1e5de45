// The main dialog's model on the simulated box, through a view that records
// what it is told: the part-flag rule and the refused start with both parts
// off, the run's messages, the box going and coming during a run, when a
// start starts a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/run_messages.h"
#include "dialog/dialog_model.h"
#include "link/dev_manage.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "sim/simulator.h"
#include "support/bounded_wait.h"

namespace {

using vexu::HotplugEvent;
using vexu::sim::SimBackend;

class RecordingView : public DialogView {
public:
    std::vector<std::string> calls;  // every drawing call, as text
    std::vector<Notice> notices;

    void SetTitle(const std::string& title) override { calls.push_back("title " + title); }
    void SetControlText(int id, const std::string& text) override { Call("text", id, text); }
    void SetControlColors(int id, const ControlColors&) override { Call("colors", id, ""); }
    void ShowControl(int id, bool shown) override { Call("show", id, shown ? "1" : "0"); }
    void EnableControl(int id, bool enabled) override { Call("enable", id, enabled ? "1" : "0"); }
    void SetBarRange(int id, uint32_t lower, uint32_t upper) override {
        Call("range", id, std::to_string(lower) + ".." + std::to_string(upper));
    }
    void SetBarPos(int id, uint32_t pos) override { Call("pos", id, std::to_string(pos)); }
    void SetBackground(bool boxPresent) override { calls.push_back(boxPresent ? "background on" : "background off"); }
    void Tell(const Notice& notice) override { notices.push_back(notice); }
    void OpenLink(const std::string&) override {}
    void ShowAbout() override {}
    void StartRetryTimer(int) override {}
    void StopRetryTimer() override {}

private:
    void Call(const char* what, int id, const std::string& value) {
        calls.push_back(std::string(what) + " " + std::to_string(id) + " " + value);
    }
};

// Jobs that stand in for the FPGA and serial-flash steps: they count their
// calls, post progress as the real ones do, and the FPGA step can be held
// until the test lets it go.
struct FakeJobs {
    std::atomic<int> fpgaRuns{0};
    std::atomic<int> eepromRuns{0};
    bool fpgaPasses = true;
    std::mutex mutex;
    std::condition_variable changed;
    bool hold = false;
    bool inside = false;

    RunJobs Make() {
        RunJobs jobs;
        jobs.runFpga = [this](const char*) {
            ++fpgaRuns;
            PostMsgText(kFpgaProgressText, 37, 0);
            std::unique_lock<std::mutex> lock(mutex);
            inside = true;
            changed.notify_all();
            changed.wait(lock, [this] { return !hold; });
            return fpgaPasses ? 1 : 0;
        };
        jobs.fpgaError = [] { return std::string("Verify failed at row 17"); };
        jobs.runEeprom = [this] {
            ++eepromRuns;
            return 1;
        };
        jobs.eepromError = [] { return std::string(); };
        return jobs;
    }
    void Release() {
        std::lock_guard<std::mutex> guard(mutex);
        hold = false;
        changed.notify_all();
    }
    bool WaitInsideFpga() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, vexu::test::kWaitLimit, [this] { return inside; });
    }
};

struct ModelRig {
    explicit ModelRig(const std::string& scenario, AppSetting settings = DefaultAppSetting(),
                      bool holdFpga = false) {
        std::string error;
        sim = vexu::sim::MakeSimulator(scenario, error);
        if (!sim) throw std::runtime_error(error);
        CDevManage::SetBackend(sim.get());
        SetRunError("");
        jobs.hold = holdFpga;
        DialogModelSetup setup;
        setup.jobs = jobs.Make();
        setup.settings = settings;
        setup.loadImages = false;
        model = std::make_unique<CDialogModel>(view, window, std::move(setup));
        model->OnInitDialog();
        Pump();
    }
    ~ModelRig() {
        jobs.Release();
        model.reset();
        CDevManage::SetBackend(nullptr);
    }

    // Hands the model what was posted to its window, as the window does.
    void Deliver(const vexu::MessageQueue::Message& m) { model->OnMessage(m.message, m.wParam, m.lParam); }
    void Pump() {
        vexu::MessageQueue::Message m;
        while (window.TryTake(m)) Deliver(m);
    }
    // Delivers messages until one of this kind has been handled (waiting for
    // the worker to post it); false when it never comes.
    bool PumpThrough(uint32_t message) {
        vexu::MessageQueue::Message m;
        while (window.Wait(m, vexu::test::kWaitLimit)) {
            Deliver(m);
            if (m.message == message) return true;
        }
        return false;
    }
    void Click() { model->OnStartClicked(); }
    const ControlState& Control(int id) const { return model->State().controls.at(id); }

    vexu::VirtualClock clock;
    vexu::ScopedClock scopedClock{clock};
    std::unique_ptr<SimBackend> sim;
    vexu::MessageQueue window;
    RecordingView view;
    FakeJobs jobs;
    std::unique_ptr<CDialogModel> model;
};

bool Contains(const std::vector<std::string>& calls, const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

// A part is on exactly when its flag is 1: it is shown and its step runs.
// Any other value, as a damaged or hand-made record may hold, is off; with
// both parts off a start is refused before anything reaches the board.
TEST(DialogModel, PartFlagsDecideWhatIsShownAndWhatRuns) {
    struct Row {
        uint32_t showFpga, showEeprom;
        bool fpgaOn, eepromOn;
    };
    const Row rows[] = {
        {1, 1, true, true},   {0, 1, false, true},  {1, 0, true, false},          {2, 1, false, true},
        {1, 0xFFFFFFFF, true, false}, {0, 0, false, false}, {2, 2, false, false}, {0x100, 0, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("showFpga " + std::to_string(row.showFpga) + ", showEeprom " + std::to_string(row.showEeprom));
        AppSetting s = DefaultAppSetting();
        s.showFpga = row.showFpga;
        s.showEeprom = row.showEeprom;
        ModelRig rig("", s);
        ASSERT_TRUE(rig.model->BoxPresent());
        for (int id : {IDC_FPGA_PICTURE, IDC_FPGA_CAPTION, IDC_FPGA_BAR})
            EXPECT_EQ(rig.Control(id).visible, row.fpgaOn) << id;
        for (int id : {IDC_EEPROM_PICTURE, IDC_EEPROM_CAPTION, IDC_EEPROM_BAR})
            EXPECT_EQ(rig.Control(id).visible, row.eepromOn) << id;
        EXPECT_EQ(rig.model->StartAllowed(), row.fpgaOn || row.eepromOn);

        const uint64_t transfers = rig.sim->Counters().transfers;
        rig.view.calls.clear();
        rig.Click();
        if (!row.fpgaOn && !row.eepromOn) {
            ASSERT_EQ(rig.view.notices.size(), 1u);
            EXPECT_EQ(rig.view.notices[0].kind, NoticeKind::kNothingToProgram);
            EXPECT_EQ(rig.view.notices[0].icon, NoticeIcon::kError);
            EXPECT_FALSE(rig.model->RunInProgress());
            rig.Pump();
            EXPECT_TRUE(rig.view.calls.empty());
            EXPECT_EQ(rig.sim->Counters().transfers, transfers);
            EXPECT_TRUE(rig.Control(IDC_START).visible);
            continue;
        }
        ASSERT_TRUE(rig.PumpThrough(vexu::WM_RUN_END));
        EXPECT_EQ(rig.jobs.fpgaRuns.load(), row.fpgaOn ? 1 : 0);
        EXPECT_EQ(rig.jobs.eepromRuns.load(), row.eepromOn ? 1 : 0);
        // The percent labels of the parts that are on come and go with the run.
        EXPECT_EQ(Contains(rig.view.calls, "show 1007 1"), row.fpgaOn);
        EXPECT_EQ(Contains(rig.view.calls, "show 1010 1"), row.eepromOn);
        EXPECT_FALSE(rig.Control(IDC_FPGA_PERCENT).visible);
        EXPECT_FALSE(rig.Control(IDC_EEPROM_PERCENT).visible);
        EXPECT_TRUE(rig.Control(IDC_START).visible);
        EXPECT_TRUE(rig.view.notices.empty());
    }
}

// Progress commands move their own bar and label (100 fills the bar); every
// other text is a log line and changes nothing at all; a failed run's end
// tells its failure text, a passed run's tells nothing.
TEST(DialogModel, RunMessagesMoveBarsAndTellFailures) {
    ModelRig rig("");
    struct Progress {
        const char* text;
        vexu::WPARAM number;
        int bar, label;  // 0: nothing changes
        uint32_t pos;
        const char* shown;
    };
    const Progress rows[] = {
        {"SetFpgaProgress", 42, IDC_FPGA_BAR, IDC_FPGA_PERCENT, 42, "42%"},
        {"SetFpgaProgress", 100, IDC_FPGA_BAR, IDC_FPGA_PERCENT, 100, "100%"},
        {"SetEepromProgress", 100, IDC_EEPROM_BAR, IDC_EEPROM_PERCENT, 100, "100%"},
        {"SetEepromProgress", 0, IDC_EEPROM_BAR, IDC_EEPROM_PERCENT, 0, "0%"},
        {"\r\nUpdating Program...", 77, 0, 0, 0, ""},
        {"setfpgaprogress", 77, 0, 0, 0, ""},
        {"SetEepromProgress ", 77, 0, 0, 0, ""},
        {"", 77, 0, 0, 0, ""},
    };
    for (const Progress& row : rows) {
        SCOPED_TRACE(std::string("\"") + row.text + "\" " + std::to_string(row.number));
        const DialogState before = rig.model->State();
        rig.view.calls.clear();
        PostMsgText(row.text, row.number, 0);
        rig.Pump();
        if (row.bar == 0) {
            EXPECT_TRUE(rig.view.calls.empty());
            EXPECT_EQ(rig.model->State(), before);
            continue;
        }
        EXPECT_EQ(rig.Control(row.bar).pos, row.pos);
        EXPECT_EQ(rig.Control(row.label).text, row.shown);
        EXPECT_TRUE(Contains(rig.view.calls, "pos " + std::to_string(row.bar) + " " + std::to_string(row.pos)));
        const int other = row.bar == IDC_FPGA_BAR ? IDC_EEPROM_BAR : IDC_FPGA_BAR;
        EXPECT_EQ(rig.Control(other).pos, before.controls.at(other).pos);
    }

    SetRunError("Device Check Error");
    for (vexu::LPARAM result : {RUN_OK, RUN_FAILED}) {
        rig.window.Post(vexu::WM_RUN_START, 0, 0);
        rig.window.Post(vexu::WM_RUN_END, STEP_EEPROM, result);
        rig.Pump();
        EXPECT_TRUE(rig.Control(IDC_START).visible);
    }
    ASSERT_EQ(rig.view.notices.size(), 1u);
    EXPECT_EQ(rig.view.notices[0].kind, NoticeKind::kRunFailed);
    EXPECT_EQ(rig.view.notices[0].title, "Error");
    EXPECT_EQ(rig.view.notices[0].text, "Device Check Error");
    EXPECT_EQ(rig.view.notices[0].icon, NoticeIcon::kError);
    SetRunError("");
}

// The box goes during a run: the controls are disabled at once, the run
// ends failed with the start button back but disabled, and the box's
// return enables everything with both bars at 0.
TEST(DialogModel, RemovalDuringARunAndTheBoxsReturn) {
    ModelRig rig("", DefaultAppSetting(), true);
    rig.jobs.fpgaPasses = false;
    rig.Click();
    ASSERT_TRUE(rig.jobs.WaitInsideFpga());
    ASSERT_TRUE(rig.PumpThrough(vexu::WM_RUN_START));
    EXPECT_FALSE(rig.Control(IDC_START).visible);
    EXPECT_TRUE(rig.Control(IDC_FPGA_PERCENT).visible);
    EXPECT_FALSE(rig.model->StartAllowed());

    rig.sim->Unplug();
    rig.model->OnHotplug({HotplugEvent::Kind::Removal, SimBackend::kBoxPath});
    rig.jobs.Release();  // the job fails on the missing box
    ASSERT_TRUE(rig.PumpThrough(vexu::WM_DEVICE_REMOVE));
    EXPECT_FALSE(rig.model->BoxPresent());
    for (int id : kSwitchedControls) EXPECT_FALSE(rig.Control(id).enabled) << id;
    EXPECT_TRUE(Contains(rig.view.calls, "background off"));

    ASSERT_TRUE(rig.PumpThrough(vexu::WM_RUN_END));
    rig.Pump();
    EXPECT_TRUE(rig.Control(IDC_START).visible);
    EXPECT_FALSE(rig.Control(IDC_START).enabled);
    EXPECT_EQ(rig.Control(IDC_FPGA_BAR).pos, 37u);
    ASSERT_EQ(rig.view.notices.size(), 1u);
    EXPECT_EQ(rig.view.notices[0].kind, NoticeKind::kRunFailed);
    EXPECT_TRUE(rig.view.notices[0].text.ends_with("Verify failed at row 17")) << rig.view.notices[0].text;
    EXPECT_FALSE(rig.model->StartAllowed());

    rig.sim->Plug();
    rig.model->OnHotplug({HotplugEvent::Kind::Arrival, SimBackend::kBoxPath});
    rig.Pump();
    EXPECT_TRUE(rig.model->BoxPresent());
    for (int id : kSwitchedControls) EXPECT_TRUE(rig.Control(id).enabled) << id;
    EXPECT_EQ(rig.Control(IDC_FPGA_BAR).pos, 0u);
    EXPECT_EQ(rig.Control(IDC_EEPROM_BAR).pos, 0u);
    EXPECT_TRUE(rig.model->StartAllowed());
}

// A click starts a run only with a box present and no run in progress;
// otherwise it does nothing and tells nothing.
TEST(DialogModel, StartOnlyWithABoxAndNoRun) {
    {
        ModelRig rig("unplugged");
        EXPECT_FALSE(rig.model->BoxPresent());
        EXPECT_FALSE(rig.Control(IDC_START).enabled);
        EXPECT_FALSE(rig.model->StartAllowed());
        rig.Click();
        rig.Pump();
        EXPECT_FALSE(rig.model->RunInProgress());
        EXPECT_EQ(rig.jobs.fpgaRuns.load(), 0);
        EXPECT_TRUE(rig.view.notices.empty());
    }
    ModelRig rig("", DefaultAppSetting(), true);
    EXPECT_TRUE(rig.model->StartAllowed());
    rig.Click();
    ASSERT_TRUE(rig.jobs.WaitInsideFpga());
    EXPECT_FALSE(rig.model->StartAllowed());
    rig.Click();  // a second press during the run
    rig.jobs.Release();
    ASSERT_TRUE(rig.PumpThrough(vexu::WM_RUN_END));
    rig.Pump();
    EXPECT_EQ(rig.jobs.fpgaRuns.load(), 1);
    EXPECT_EQ(rig.jobs.eepromRuns.load(), 1);
    EXPECT_TRUE(rig.view.notices.empty());
    EXPECT_TRUE(rig.model->StartAllowed());
}

}  // namespace
