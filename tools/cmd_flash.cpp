#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "platform/terminal.h"
#include "platform/trace.h"
#include "run/eeprom_job.h"
#include "run/thread_action.h"
#include "run/image_buffers.h"
#include "run/image_load.h"
#include "run/run_messages.h"
#include "tools/cli.h"

namespace vexu::cli {

namespace {

// The serial-flash bar: takes each text of the channel as it is posted (the
// job runs on this thread) and redraws on the progress command.
class ProgressBar : public MessageTarget {
public:
    explicit ProgressBar(bool draw) : draw_(draw) {}
    void Post(uint32_t message, WPARAM wParam, LPARAM) override {
        if (message != WM_RUN_TEXT) return;
        if (GetMsgText() != kEepromProgressText || !draw_) return;
        constexpr int kWidth = 40;
        const int percent = static_cast<int>(wParam > 100 ? 100 : wParam);
        const int filled = percent * kWidth / 100;
        fprintf(stderr, "\rSerial flash [%.*s%.*s] %3d%%", filled,
                "########################################", kWidth - filled,
                "----------------------------------------", percent);
        fflush(stderr);
        shown_ = true;
    }
    // Ends the bar's line.
    void Finish() {
        if (shown_) fprintf(stderr, "\n");
        shown_ = false;
    }

private:
    bool draw_;
    bool shown_ = false;
};

// The serial port switching the run worker does around the job.
void SwitchSerialPort(bool on) { on ? EnableEepromPort() : DisableEepromPort(); }

bool LoadImage(const std::string& path, std::vector<uint8_t>& image, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open the serial-flash image " + path;
        return false;
    }
    image.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
        error = "cannot read the serial-flash image " + path;
        return false;
    }
    if (image.size() > std::numeric_limits<uint32_t>::max()) {
        error = "the serial-flash image " + path + " is larger than 4 GiB";
        return false;
    }
    return true;
}

// Stops the device manager however the command ends.
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

}  // namespace

// Runs the serial-flash job alone: serial port on, job, serial port off.
int RunFlash(const GlobalOptions& options, const FlashOptions& flash) {
    static std::vector<uint8_t> fileImage;  // the image buffer outlives the job
    if (!flash.eepromImage.empty()) {
        std::string error;
        if (!LoadImage(flash.eepromImage, fileImage, error)) {
            fprintf(stderr, "%s\n", error.c_str());
            return kExitUsage;
        }
        g_eepromData = fileImage.data();
        g_eepromSize = static_cast<uint32_t>(fileImage.size());
    } else {
        LoadEepromData();
        if (!g_eepromData) {
            fprintf(stderr, "no serial-flash image is embedded: give one with --eeprom-image FILE\n");
            return kExitUsage;
        }
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

    ProgressBar bar(IsTerminal(stderr));
    InitMsgQueue(&bar);
    PostMsgText(kEepromProgressText, 0, 0);
    SwitchSerialPort(true);
    const int done = RunEepromJob();
    if (done) PostMsgText(kEepromProgressText, 100, 0);
    SwitchSerialPort(false);
    bar.Finish();
    FreeMsgQueue();

    const std::string simulation = SimulationSummary(*backend);
    if (!simulation.empty()) fprintf(stderr, "%s\n", simulation.c_str());
    if (!done) {
        const std::string text = GetEepromError();
        Trace(text + "\r\n");
        fprintf(stderr, "%s\n", text.c_str());
        return kExitFailed;
    }
    printf("serial flash written and verified (%u bytes)\n", g_eepromSize);
    return kExitOk;
}

}  // namespace vexu::cli
