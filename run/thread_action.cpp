#include "run/thread_action.h"

#include <cstdio>

#include "link/hid_device.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "run/eeprom_job.h"
#include "run/fpga_job.h"
#include "run/run_messages.h"

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

}  // namespace

void EnableJtagPort() { Switch(kJtagOn); }
void DisableJtagPort() { Switch(kJtagOff); }
void EnableEepromPort() { Switch(kEepromOn); }
void DisableEepromPort() { Switch(kEepromOff); }

RunJobs RunJobs::Real() {
    return RunJobs{[](const char* action) { return RunFpgaJob(action); }, [] { return GetFpgaError(); },
                   [] { return RunEepromJob(); }, [] { return GetEepromError(); }};
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
    Post(window, vexu::WM_RUN_START, 0, 0);
    EnableJtagPort();
    CHidDevice::LightLed(1, 1);
    PostMsgText(kFpgaProgressText, 0, 0);
    PostMsgText(kEepromProgressText, 0, 0);

    // No step ran: the end message carries 0 as its step.
    vexu::WPARAM step = 0;
    vexu::LPARAM result = RUN_OK;
    CRunTimer timer;
    if (self->doFpga_ == 1) {
        timer.Start();
        step = STEP_FPGA;
        if (self->jobs_.runFpga("program")) {
            PostMsgText(kFpgaProgressText, 100, 0);
            result = RUN_OK;
        } else {
            std::string text = self->jobs_.fpgaError();
            vexu::Trace(text + "\r\n");
            SetRunError(text.c_str());
            result = RUN_FAILED;
        }
        vexu::Trace("Elapsed time =" + timer.ElapsedText() + "\r\n");
    }
    if (self->doEeprom_ == 1 && result == RUN_OK) {
        PostMsgText(kEepromProgressText, 0, 0);
        step = STEP_EEPROM;
        timer.Start();
        EnableEepromPort();
        if (self->jobs_.runEeprom()) {
            PostMsgText(kEepromProgressText, 100, 0);
            result = RUN_OK;
        } else {
            std::string text = self->jobs_.eepromError();
            vexu::Trace(text + "\r\n");
            SetRunError(text.c_str());
            result = RUN_FAILED;
        }
        DisableEepromPort();
        vexu::Trace("Elapsed time =" + timer.ElapsedText() + "\r\n");
    }
    CHidDevice::LightLed(0, 0);
    DisableJtagPort();
    self->running_ = 0;
    Post(window, vexu::WM_RUN_END, step, result);
    return 0;
}
