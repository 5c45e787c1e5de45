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
#include "sim/spi_flash.h"

namespace vexu::cli {

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

namespace {

// A report log that stopped part way fails a command that otherwise passed;
// the line saying so is printed once.
bool g_reportLogTold = false;

int WithReportLog(int exitCode) { return exitCode == kExitOk && !ReportLogFailure().empty() ? kExitFailed : exitCode; }

void TellReportLog() {
    const std::string failure = ReportLogFailure();
    if (failure.empty() || g_reportLogTold) return;
    g_reportLogTold = true;
    fprintf(stderr, "%s\n", failure.c_str());
    fflush(stderr);
}

}  // namespace

int FinishBoxCommand(int exitCode) {
    TellReportLog();
    return WithReportLog(exitCode);
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

int Reporter::Finish(int exitCode, const std::string& failure) {
    return Finish(exitCode, failure, Result(exitCode, failure));
}

void ChannelReader::Post(uint32_t message, WPARAM wParam, LPARAM) {
    if (message == WM_RUN_TEXT) out_.RunText(GetMsgText(), wParam, GetClock().NowUs());
}

void TimedTextTarget::Post(uint32_t message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_RUN_TEXT) {
        std::lock_guard<std::mutex> guard(mutex_);
        times_.push_back(GetClock().NowUs());
    }
    queue_.Post(message, wParam, lParam);
}

uint64_t TimedTextTarget::TakePostTime() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (times_.empty()) return GetClock().NowUs();
    const uint64_t at = times_.front();
    times_.pop_front();
    return at;
}

NoBox NoBoxFailure(const std::vector<BoxRefusal>& refusals, const std::string& boxPath) {
    if (refusals.empty() && !boxPath.empty()) return {kExitNoBox, "the programmer box " + boxPath + " is not there"};
    if (refusals.empty()) return {kExitNoBox, "no programmer box found"};
    NoBox result{kExitNoBox, {}};
    for (const BoxRefusal& refusal : refusals) {
        if (!result.text.empty()) result.text += "\n";
        result.text += DescribeRefusal(refusal);
        if (refusal.error == HidOpenError::kInUse) {
            result.exit = kExitBoxInUse;
        } else if (refusal.error == HidOpenError::kDenied && result.exit != kExitBoxInUse) {
            result.exit = kExitBoxDenied;
        }
    }
    return result;
}

std::string TerminalText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r') out += c;
    return out;
}

// --- The box -----------------------------------------------------------------

BoxSession::~BoxSession() {
    if (monitor_) monitor_->Stop();
    SaveSimulatedFlash();
    if (started_) {
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
        CDevManage::SetBoxPath({});
    }
}

bool BoxSession::Open(const GlobalOptions& options, MessageTarget* deviceEvents, std::string& error) {
    backend_ = MakeBackend(options, error, &simulatorOptions_);
    if (!backend_) return false;
    CDevManage::SetBackend(backend_.get());
    CDevManage::SetBoxPath(options.box);
    boxPath_ = options.box;
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, deviceEvents ? deviceEvents : &ignoredEvents_);
    started_ = true;
    return true;
}

bool BoxSession::StartHotplug(MessageTarget* owner) {
    sim::SimBackend* simulator = Simulator();
    monitor_ = simulator ? simulator->MakeHotplugMonitor() : MakeSystemHotplugMonitor();
    return monitor_ && monitor_->Start([this, owner](const HotplugEvent& event) {
        events_.Push(event);
        owner->Post(WM_HOTPLUG_EVENT, 0, 0);
    });
}

void BoxSession::HandleHotplug() {
    for (HotplugEvent event; events_.Pop(event);) {
        CDevManage::OnHotplug(event);
    }
}

bool BoxSession::HasBox() const { return CDevManage::GetHandle() != 0; }

NoBox BoxSession::Missing() const { return NoBoxFailure(CDevManage::Refusals(), CDevManage::BoxPath()); }

sim::SimBackend* BoxSession::Simulator() { return dynamic_cast<sim::SimBackend*>(backend_.get()); }

void BoxSession::SaveSimulatedFlash() {
    sim::SimBackend* simulator = Simulator();
    if (!simulator || simulatorOptions_.flashSave.empty()) return;
    std::vector<uint8_t> contents;
    // The board of the box this command was given, else the first.
    size_t board = 0;
    for (size_t k = 0; k < simulator->BoxCount(); ++k)
        if (!boxPath_.empty() && sim::SimBackend::BoxPath(k) == boxPath_) board = k;
    simulator->Inspect(
        [&contents](sim::SimBox& box) {
            if (const auto* flash = dynamic_cast<const sim::SpiFlash*>(box.Spi())) contents = flash->Contents();
        },
        board);
    std::string error;
    if (!WriteFileWhole(simulatorOptions_.flashSave,
                        std::string_view(reinterpret_cast<const char*>(contents.data()), contents.size()), error)) {
        fprintf(stderr, "--simulate flash-save: %s\n", error.c_str());
        fflush(stderr);
    }
}

std::string BoxSession::Summary() { return backend_ ? SimulationSummary(*backend_) : std::string(); }

void BoxSession::AddSummary(JsonObject& result) {
    sim::SimBackend* simulator = Simulator();
    if (!simulator) return;
    const sim::UsbCounters usb = simulator->Counters();
    const uint64_t violations = simulator->Inspect([](sim::SimBox& box) { return box.Counters().violations; });
    result.Raw("simulation", JsonObject()
                                 .Number("reports", static_cast<int64_t>(usb.transfers))
                                 .Number("failedReports", static_cast<int64_t>(usb.failedTransfers))
                                 .Number("violations", static_cast<int64_t>(violations))
                                 .Real("modelledSeconds", static_cast<double>(simulator->ModelledTimeUs()) / 1e6)
                                 .Str());
}

void BoxSession::SaySummary(const Reporter& out) {
    const std::string summary = Summary();
    if (summary.empty() || out.Json()) return;
    fprintf(stderr, "%s\n", summary.c_str());
    fflush(stderr);
}

// --- Images ------------------------------------------------------------------

namespace {

// A plain image file into a buffer that lives as long as the process (the
// image buffers point into it). An empty file is no image: a run would
// erase and then write nothing.
bool LoadImageFile(const std::string& path, const char* what, uint64_t maxBytes, std::vector<uint8_t>& image,
                   std::string& error) {
    if (!ReadUserFile(path, maxBytes, what, image, error)) return false;
    if (image.empty()) {
        error = std::string("the ") + what + " " + path + " is empty";
        return false;
    }
    return true;
}

}  // namespace

bool LoadFpgaImage(const GlobalOptions& options, std::string& error) {
    static std::vector<uint8_t> fileImage;
    if (!options.fpgaImage.empty()) {
        if (!LoadImageFile(options.fpgaImage, "FPGA data image", kMaxFpgaImageBytes, fileImage, error)) return false;
        g_fpgaData = fileImage.data();
        g_fpgaSize = static_cast<uint32_t>(fileImage.size());
    } else if (!g_fpgaData) {
        LoadFpgaData();
    }
    if (!g_fpgaData || g_fpgaSize == 0) {
        error = "no FPGA data image: give one with --fpga-image FILE";
        return false;
    }
    return true;
}

bool LoadEepromImage(const GlobalOptions& options, std::string& error) {
    static std::vector<uint8_t> fileImage;
    if (!options.eepromImage.empty()) {
        if (!LoadImageFile(options.eepromImage, "serial-flash image", MaxEepromImageBytes(), fileImage, error))
            return false;
        g_eepromData = fileImage.data();
        g_eepromSize = static_cast<uint32_t>(fileImage.size());
        return true;
    }
    if (!g_eepromData) LoadEepromData();
    if (!g_eepromData || g_eepromSize == 0) {
        error = "no serial-flash image is embedded: give one with --eeprom-image FILE";
        return false;
    }
    return true;
}

}  // namespace vexu::cli
