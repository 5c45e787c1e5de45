#include "station/box_session.h"

#include <cstdio>
#include <vector>

#include "common/image_buffers.h"
#include "common/run_messages.h"
#include "link/dev_manage.h"
#include "link/report_log.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/system_hid.h"
#include "run/image_load.h"
#include "sim/spi_flash.h"

namespace vexu::station {

// --- The report log ------------------------------------------------------------

// A report log that stopped part way fails a command that otherwise passed;
// the line saying so is printed once.
namespace {
bool g_reportLogTold = false;
}  // namespace

int WithReportLog(int exitCode) { return exitCode == kExitOk && !ReportLogFailure().empty() ? kExitFailed : exitCode; }

void TellReportLog() {
    const std::string failure = ReportLogFailure();
    if (failure.empty() || g_reportLogTold) return;
    g_reportLogTold = true;
    fprintf(stderr, "%s\n", failure.c_str());
    fflush(stderr);
}

int FinishBoxCommand(int exitCode) {
    TellReportLog();
    return WithReportLog(exitCode);
}

// --- Run texts and the box ------------------------------------------------------

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

void BoxSession::SaySummary(StationOutput& out) {
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

}  // namespace vexu::station
