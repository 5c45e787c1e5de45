#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "engine/dp_frame.h"
#include "engine/dp_state.h"
#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "platform/terminal.h"
#include "platform/trace.h"
#include "run/fpga_job.h"
#include "run/thread_action.h"
#include "run/image_buffers.h"
#include "run/image_load.h"
#include "run/run_messages.h"
#include "tools/cli.h"

namespace vexu::cli {

namespace {

// The FPGA bar: takes each text of the channel as it is posted (the engine
// runs on this thread) and redraws on the progress command.
class FpgaProgressBar : public MessageTarget {
public:
    explicit FpgaProgressBar(bool draw) : draw_(draw) {}
    void Post(uint32_t message, WPARAM wParam, LPARAM) override {
        if (message != WM_RUN_TEXT) return;
        if (GetMsgText() != kFpgaProgressText || !draw_) return;
        constexpr int kWidth = 40;
        const int percent = static_cast<int>(wParam > 100 ? 100 : wParam);
        const int filled = percent * kWidth / 100;
        fprintf(stderr, "\rFPGA [%.*s%.*s] %3d%%", filled, "########################################",
                kWidth - filled, "----------------------------------------", percent);
        fflush(stderr);
        shown_ = true;
    }
    void Finish() {
        if (shown_) fprintf(stderr, "\n");
        shown_ = false;
    }

private:
    bool draw_;
    bool shown_ = false;
};

// The JTAG port and both lamps, switched as the run worker switches them.
void JtagPortAndLamps(bool on) {
    if (on) {
        EnableJtagPort();
        CHidDevice::LightLed(1, 1);
    } else {
        CHidDevice::LightLed(0, 0);
        DisableJtagPort();
    }
}

bool LoadImageFile(const std::string& path, std::vector<uint8_t>& image, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open the FPGA data image " + path;
        return false;
    }
    image.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
        error = "cannot read the FPGA data image " + path;
        return false;
    }
    if (image.size() > std::numeric_limits<uint32_t>::max()) {
        error = "the FPGA data image " + path + " is larger than 4 GiB";
        return false;
    }
    return true;
}

struct DeviceManagerSession {
    explicit DeviceManagerSession(HidBackend* backend) {
        CDevManage::SetBackend(backend);
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &deviceEvents);
    }
    ~DeviceManagerSession() {
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
    }
    RecordingTarget deviceEvents;
};

// The engine's lines of a reporting action, as the report to print: line
// ends as the terminal wants them, without the exit and job bookkeeping.
std::string ReportText(const std::vector<std::string>& lines) {
    std::string report;
    for (const std::string& line : lines) {
        if (line == "dp_exit() \r\n" || line == "\r\nExit code = 0... Success") continue;
        for (char c : line)
            if (c != '\r') report += c;
    }
    return report;
}

}  // namespace

int RunAction(const GlobalOptions& options, const ActionOptions& action) {
    static std::vector<uint8_t> fileImage;  // the image buffer outlives the runs
    if (!action.fpgaImage.empty()) {
        std::string error;
        if (!LoadImageFile(action.fpgaImage, fileImage, error)) {
            fprintf(stderr, "%s\n", error.c_str());
            return kExitUsage;
        }
        g_fpgaData = fileImage.data();
        g_fpgaSize = static_cast<uint32_t>(fileImage.size());
    } else if (!g_fpgaData) {
        LoadFpgaData();
    }
    if (!g_fpgaData || g_fpgaSize == 0) {
        fprintf(stderr, "no FPGA data image: give one with --fpga-image FILE\n");
        return kExitUsage;
    }

    std::string error;
    std::unique_ptr<HidBackend> backend = MakeBackend(options, error);
    if (!backend) {
        fprintf(stderr, "%s\n", error.c_str());
        return kExitFailed;
    }
    DeviceManagerSession devices(backend.get());
    if (CDevManage::GetHandle() == 0) {
        fprintf(stderr, "no programmer box found\n");
        return kExitNoBox;
    }

    FpgaProgressBar bar(IsTerminal(stderr));
    InitMsgQueue(&bar);
    JtagPortAndLamps(true);
    int result = kExitOk;
    for (const std::string& name : action.actions) {
        TraceCapture lines;
        const int done = RunFpgaJob(name.c_str());
        bar.Finish();
        const uint8_t code = g_dpState.errorCode;
        if (!done) {
            fprintf(stderr, "%s failed: engine code %u: %s\n", name.c_str(), code, FpgaErrorMessage(code).c_str());
            result = kExitFailed;
            break;
        }
        const DpActionEntry* entry = dp_action_entry(g_dpState.actionCode);
        if (entry && entry->reportOnly) printf("%s\n", ReportText(lines.Lines()).c_str());
        printf("%s: done\n", name.c_str());
    }
    JtagPortAndLamps(false);
    FreeMsgQueue();
    const std::string simulation = SimulationSummary(*backend);
    if (!simulation.empty()) fprintf(stderr, "%s\n", simulation.c_str());
    return result;
}

}  // namespace vexu::cli
