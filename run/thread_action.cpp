#include "run/thread_action.h"

#include <cstdio>

#include "engine/dp_state.h"
#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "platform/clock.h"
#include "platform/digest.h"
#include "platform/trace.h"
#include "run/eeprom_job.h"
#include "run/fpga_job.h"
#include "common/app_setting.h"
#include "common/image_buffers.h"
#include "common/run_messages.h"

void CRunTimer::Start() { start_ = vexu::GetClock().CalendarSeconds(); }

std::string CRunTimer::ElapsedText() {
    end_ = vexu::GetClock().CalendarSeconds();
    seconds_ = static_cast<int32_t>(end_ - start_);
    char text[32];
    snprintf(text, sizeof text, "%02u:%02u:%02u", static_cast<unsigned>(seconds_ / 3600),
             static_cast<unsigned>((seconds_ % 3600) / 60), static_cast<unsigned>(seconds_ % 60));
    return text;
}

namespace {

struct PortSwitch {
    const char* trace;
    int port;
    int settingA;
    int settingB;
};

constexpr PortSwitch kJtagOn{"Enable Jtag Port.\r\n", kJtagPort, 0x01, 0x0E};
constexpr PortSwitch kJtagOff{"Disable Jtag Port.\r\n", kJtagPort, 0xFF, 0xFF};
constexpr PortSwitch kEepromOn{"Enable Eeprom Port.\r\n", kSerialPort, 0xFC, 0xFF};
constexpr PortSwitch kEepromOff{"Disable Eeprom Port.\r\n", kSerialPort, 0xFF, 0xFF};

void Switch(const PortSwitch& s) {
    vexu::Trace(s.trace);
    CHidDevice::SetPort(s.port, s.settingA, s.settingB, nullptr);
}

void Post(vexu::MessageTarget* window, uint32_t message, vexu::WPARAM w, vexu::LPARAM l) {
    if (window) window->Post(message, w, l);
}

// Which image went onto the board; empty without one.
std::string ImageSha256(const uint8_t* data, uint32_t size) {
    return data && size ? vexu::Sha256Hex(data, size) : std::string();
}

RunStepRecord::Outcome Outcome(bool done) {
    return done ? RunStepRecord::Outcome::kOk : RunStepRecord::Outcome::kFailed;
}

// A step whose box went away or stopped answering fails on whatever check
// trips first over the missing answers ("IDCODE ... does not match",
// "Device Read Error"): the failure text says first what really happened.
std::string StepFailureText(const std::string& jobText, const char* stepName, uint64_t linkLossesAtStart) {
    if (CDevManage::LinkLosses() == linkLossesAtStart) return jobText;
    return std::string("The programmer box was removed or stopped answering during the ") + stepName +
           " step. " + jobText;
}

}  // namespace

void EnableJtagPort() { Switch(kJtagOn); }
void DisableJtagPort() { Switch(kJtagOff); }
void EnableEepromPort() { Switch(kEepromOn); }
void DisableEepromPort() { Switch(kEepromOff); }

RunJobs RunJobs::Real() {
    return RunJobs{[](const char* action) {
                       // An ID left from an earlier run must not be taken for this run's.
                       g_dpState.deviceId = 0;
                       return RunFpgaJob(action);
                   },
                   [] { return GetFpgaError(); },
                   [] { return RunEepromJob(); },
                   [] { return GetEepromError(); },
                   []() -> std::optional<uint32_t> {
                       if (!g_dpState.deviceIdRead) return std::nullopt;
                       return g_dpState.deviceId;
                   },
                   [] { return GetEepromChip(); },
                   [] { return GetProgrammedDesign(); },
                   {},
                   {},
                   [] { return GetEepromFindings(); }};
}

CThreadAction::CThreadAction() : CThreadAction(RunJobs::Real()) {}

CThreadAction::CThreadAction(RunJobs jobs) : jobs_(std::move(jobs)) {}

CThreadAction::~CThreadAction() {
    if (thread_.joinable()) thread_.join();
}

void CThreadAction::StartAction(int doFpga, int doEeprom, vexu::MessageTarget* window) {
    if (running_.load()) return;
    // The last run's thread has finished its run (running is 0): collect it.
    if (thread_.joinable()) thread_.join();
    doFpga_ = doFpga;
    doEeprom_ = doEeprom;
    window_ = window;
    vexu::Trace("    CThreadAction::StartAction() \r\n");
    running_ = 1;
    thread_ = std::thread(&CThreadAction::ActionThreadProc, this);
}

void CThreadAction::End() {
    vexu::Trace("    CThreadAction::End() \r\n");
    // The thread object is ours until joined, so waiting on it is always safe.
    if (thread_.joinable()) thread_.join();
    running_ = 0;
}

unsigned CThreadAction::ActionThreadProc(CThreadAction* self) {
    vexu::MessageTarget* window = self->window_;
    const RunJobs& jobs = self->jobs_;
    RunRecord record;
    record.startTime = vexu::GetClock().CalendarSeconds();
    record.version = ProgramVersion();
    const vexu::HidInterfaceInfo box = CDevManage::HeldBox();
    record.box = box.path;
    record.location = box.location;
    record.boxSerial = box.serial;
    record.slot = self->slot_;
    // Counted from the start, before the first transfer: a box lost while
    // the port and lamps are switched on, or between the steps, is noticed
    // by the step after it.
    const uint64_t linkLosses = CDevManage::LinkLosses();
    if (jobs.serialNumber) record.serialNumber = jobs.serialNumber();
    Post(window, vexu::WM_RUN_START, 0, 0);
    EnableJtagPort();
    CHidDevice::LightLed(1, 1);
    PostMsgText(kFpgaProgressText, 0, 0);
    PostMsgText(kEepromProgressText, 0, 0);

    // No step ran: the end message carries 0 as its step.
    vexu::WPARAM step = 0;
    vexu::LPARAM result = RUN_OK;
    CRunTimer timer;
    if (PartOn(static_cast<uint32_t>(self->doFpga_))) {
        timer.Start();
        step = STEP_FPGA;
        const uint64_t startUs = vexu::GetClock().NowUs();
        const bool done = jobs.runFpga("program");
        record.fpga = {Outcome(done), vexu::GetClock().NowUs() - startUs};
        if (done) {
            PostMsgText(kFpgaProgressText, 100, 0);
            result = RUN_OK;
        } else {
            std::string text = StepFailureText(jobs.fpgaError(), "FPGA", linkLosses);
            vexu::Trace(text + "\r\n");
            SetRunError(text.c_str());
            record.failure = text;
            result = RUN_FAILED;
        }
        if (jobs.fpgaId) record.fpgaId = jobs.fpgaId();
        if (jobs.fpgaDesign) record.design = jobs.fpgaDesign();
        record.fpgaImageSha256 = ImageSha256(g_fpgaData, g_fpgaSize);
        vexu::Trace("Elapsed time =" + timer.ElapsedText() + "\r\n");
    }
    if (PartOn(static_cast<uint32_t>(self->doEeprom_)) && result == RUN_OK) {
        PostMsgText(kEepromProgressText, 0, 0);
        step = STEP_EEPROM;
        timer.Start();
        EnableEepromPort();
        const uint64_t startUs = vexu::GetClock().NowUs();
        const bool done = jobs.runEeprom();
        record.eeprom = {Outcome(done), vexu::GetClock().NowUs() - startUs};
        if (done) {
            PostMsgText(kEepromProgressText, 100, 0);
            result = RUN_OK;
        } else {
            std::string text = StepFailureText(jobs.eepromError(), "serial-flash", linkLosses);
            vexu::Trace(text + "\r\n");
            SetRunError(text.c_str());
            record.failure = text;
            result = RUN_FAILED;
        }
        DisableEepromPort();
        if (jobs.eepromChip) record.chip = jobs.eepromChip();
        if (jobs.eepromFindings) {
            const EepromFindings findings = jobs.eepromFindings();
            record.flashStatusBefore = findings.statusBefore;
            record.flashStatusAfter = findings.statusAfter;
            record.sfdpChip = findings.sfdpChip;
        }
        if (jobs.eepromImage) {
            const std::vector<uint8_t>& image = jobs.eepromImage();
            record.eepromBytes = static_cast<uint32_t>(image.size());
            record.eepromImageSha256 = ImageSha256(image.data(), static_cast<uint32_t>(image.size()));
        } else {
            record.eepromBytes = g_eepromSize;
            record.eepromImageSha256 = ImageSha256(g_eepromData, g_eepromSize);
        }
        vexu::Trace("Elapsed time =" + timer.ElapsedText() + "\r\n");
    } else if (PartOn(static_cast<uint32_t>(self->doEeprom_))) {
        record.eeprom.outcome = RunStepRecord::Outcome::kSkipped;
    }
    CHidDevice::LightLed(0, 0);
    DisableJtagPort();
    record.ok = result == RUN_OK;
    // The record is in the log before the window hears that the run ended.
    std::string logError;
    AppendRunRecord(record, logError);
    self->lastRecordError_ = std::move(logError);
    self->lastRecord_ = std::move(record);
    self->running_ = 0;
    Post(window, vexu::WM_RUN_END, step, result);
    return 0;
}
