#include "tools/cli_session.h"

#include <cstdio>
#include <vector>

#include "link/dev_manage.h"
#include "link/report_log.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/system_hid.h"
#include "platform/terminal.h"
#include "common/image_buffers.h"
#include "run/image_load.h"
#include "common/run_messages.h"
#include "station/box_session.h"

namespace vexu::cli {

using station::TellReportLog;
using station::WithReportLog;

// --- Output ------------------------------------------------------------------

Reporter::Reporter(const GlobalOptions& options, const char* command)
    : json_(options.json), drawBars_(!options.json && IsTerminal(stderr)), command_(command) {}

Reporter::~Reporter() { EndBars(); }

void Reporter::StepClock::Start(uint64_t nowUs) {
    started_ = true;
    stopped_ = false;
    startUs_ = nowUs;
}

void Reporter::StepClock::Stop(uint64_t nowUs) {
    if (!Running()) return;
    stopped_ = true;
    stopUs_ = nowUs;
}

uint64_t Reporter::StepClock::ElapsedUs(uint64_t nowUs) const {
    if (!started_) return 0;
    const uint64_t end = stopped_ ? stopUs_ : nowUs;
    return end > startUs_ ? end - startUs_ : 0;
}

std::string ClockText(uint64_t us) {
    const uint64_t seconds = us / 1'000'000;
    char text[32];
    if (seconds >= 3600) {
        snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                 static_cast<unsigned long long>(seconds / 60 % 60), static_cast<unsigned long long>(seconds % 60));
    } else {
        snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                 static_cast<unsigned long long>(seconds % 60));
    }
    return text;
}

std::string StepTimes(int percent, bool started, uint64_t elapsedUs) {
    if (!started) return {};
    std::string text = ClockText(elapsedUs);
    if (percent > 0 && percent < 100) {
        // The rest at the rate so far.
        const uint64_t leftUs = elapsedUs / static_cast<uint64_t>(percent) * static_cast<uint64_t>(100 - percent);
        text += ", " + ClockText(leftUs) + " left";
    }
    return text;
}

void Reporter::ShowBars(bool fpga, bool eeprom) {
    EndBars();
    showFpga_ = fpga;
    showEeprom_ = eeprom;
    fpgaPercent_ = -1;
    eepromPercent_ = -1;
    fpgaClock_ = StepClock();
    eepromClock_ = StepClock();
}

void Reporter::RunText(const std::string& text, WPARAM wParam, uint64_t postedUs) {
    const RunTextKind kind = ClassifyRunText(text);
    if (kind == RunTextKind::kLog) {
        Emit(JsonObject().Text("event", "log").Text("text", text));
        return;
    }
    const bool fpga = kind == RunTextKind::kFpgaProgress;
    const int percent = static_cast<int>(wParam > 100 ? 100 : wParam);
    const uint64_t nowUs = postedUs;
    StepClock& clock = fpga ? fpgaClock_ : eepromClock_;
    if (!clock.Started() && (fpga || !showFpga_ || fpgaPercent_ == 100)) {
        clock.Start(nowUs);
        if (!fpga) fpgaClock_.Stop(nowUs);
    }
    int& shown = fpga ? fpgaPercent_ : eepromPercent_;
    if (percent == shown) return;
    shown = percent;
    Emit(JsonObject()
             .Text("event", "progress")
             .Text("part", fpga ? "fpga" : "eeprom")
             .Number("percent", percent)
             .Real("elapsedSeconds", static_cast<double>(clock.ElapsedUs(nowUs)) / 1e6));
    DrawBars();
}

void Reporter::Tick() {
    if (!barsShown_) return;
    if (std::chrono::steady_clock::now() - lastDraw_ < std::chrono::seconds(1)) return;
    DrawBars();
}

void Reporter::DrawBars() {
    if (!drawBars_ || !(showFpga_ || showEeprom_)) return;
    constexpr int kWidth = 12;
    const uint64_t nowUs = GetClock().NowUs();
    auto bar = [nowUs](const char* name, int percent, const StepClock& clock) {
        const int value = percent < 0 ? 0 : percent;
        const int filled = value * kWidth / 100;
        fprintf(stderr, "%s [%.*s%.*s] %3d%%", name, filled, "############", kWidth - filled, "------------",
                value);
        const std::string times = StepTimes(value, clock.Started(), clock.ElapsedUs(nowUs));
        if (!times.empty()) fprintf(stderr, " %s", times.c_str());
    };
    fprintf(stderr, "\r");
    if (showFpga_) bar("FPGA", fpgaPercent_, fpgaClock_);
    if (showFpga_ && showEeprom_) fprintf(stderr, "   ");
    if (showEeprom_) bar("Serial flash", eepromPercent_, eepromClock_);
    // The line may have been longer before.
    fprintf(stderr, "\033[K");
    fflush(stderr);
    barsShown_ = true;
    lastDraw_ = std::chrono::steady_clock::now();
}

void Reporter::EndBars() {
    if (barsShown_) fprintf(stderr, "\n");
    barsShown_ = false;
}

void Reporter::Say(const std::string& line) {
    if (json_) return;
    EndBars();
    printf("%s\n", line.c_str());
    fflush(stdout);
}

void Reporter::Emit(const JsonObject& event) {
    if (!json_) return;
    printf("%s\n", event.Str().c_str());
    fflush(stdout);
}

JsonObject Reporter::ResultHead(int exitCode) const {
    const int exit = WithReportLog(exitCode);
    JsonObject result;
    result.Text("event", "result").Text("command", command_).Bool("ok", exit == kExitOk).Number("exit", exit);
    const std::string reportLog = ReportLogFailure();
    if (!reportLog.empty()) result.Text("reportLogFailure", reportLog);
    return result;
}

JsonObject Reporter::Result(int exitCode, const std::string& failure) const {
    JsonObject result = ResultHead(exitCode);
    result.Text("failure", failure);
    return result;
}

int Reporter::Finish(int exitCode, const std::string& failure, const JsonObject& result) {
    EndBars();
    if (!failure.empty()) {
        fprintf(stderr, "%s\n", TerminalText(failure).c_str());
        fflush(stderr);
    }
    TellReportLog();
    Emit(result);
    return WithReportLog(exitCode);
}

void ChannelReader::Post(uint32_t message, WPARAM wParam, LPARAM) {
    if (message == WM_RUN_TEXT) out_.RunText(GetMsgText(), wParam, GetClock().NowUs());
}

}  // namespace vexu::cli
