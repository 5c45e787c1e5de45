// The FPGA data image reader and whole engine runs on a fuzzed image,
// against the simulated box with its healthy default FPGA, in virtual time.
//
// Each input is one image. Before the engine sees it, its CRC trailer is
// made to match where the header's size field puts it (when that lies
// within the input), so that mutations get past the image check and reach
// the steps. The board's device is the one the image's header names (ID
// code and variant) when the identification table knows it, otherwise the
// default one; either way healthy. Then, on a fresh board, every action of the action table runs
// once through the FPGA job, in table order, and codes the table does not
// hold run straight through the engine. The input fails when a run
//  - touches memory it must not, leaks or hits undefined behaviour (the
//    sanitizers),
//  - sends the box anything against the protocol, or leaves a command of
//    the box unfinished,
//  - leaves the device in programming mode,
//  - takes more virtual time than the image's own work allows plus 10 s:
//    the longest run of the demo image (which covers every row of its
//    device), scaled to the bits of the device's array, plus
//    kPerImageByteUs for every byte of the image. A hang.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "budget_clock.h"
#include "engine/dp_frame.h"
#include "engine/dp_image.h"
#include "engine/dp_state.h"
#include "link/dev_manage.h"
#include "platform/messages.h"
#include "run/fpga_job.h"
#include "common/image_buffers.h"
#include "run/thread_action.h"
#include "sim/fpga_model.h"
#include "sim/simulator.h"
#include "sim/fpga_scenario.h"
#include "tools/image/demo_images.h"

namespace {

using vexu::fuzz::BudgetClock;

constexpr uint64_t kHangMarginUs = 10'000'000;
// The most virtual time one byte of image data can rightly cost: a byte of
// NVM data to verify takes a few reads of the address register and of the
// word, each a transfer of about a millisecond.
constexpr uint64_t kPerImageByteUs = 10'000;
// Action codes the table does not hold.
constexpr uint8_t kUnknownCodes[] = {DP_ACTION_NONE, 19, 0xFF};
constexpr unsigned kLastActionCode = 0xFF;

BudgetClock g_clock;
uint64_t g_demoWorkUs = 0;  // the longest run of the demo image

// The device the image is meant for, when the identification table knows
// it: scenario keys for the board and the array bits relative to the demo
// device's.
struct Device {
    std::string scenario;
    double arrayScale = 1.0;
};

Device DeviceFor(const std::vector<uint8_t>& image) {
    Device device;
    if (image.size() < DP_HEADER_EXPECTED_ID + 4) return device;
    uint32_t id = 0;
    for (int i = 3; i >= 0; --i) id = id << 8 | image[DP_HEADER_EXPECTED_ID + i];
    const DeviceIdRow* row = vexu::sim::FindFpgaGeometry(id);
    const DeviceIdRow* demo = vexu::sim::FindFpgaGeometry(vexu::image::kDemoIdCode);
    if (!row) return device;
    char text[64];
    snprintf(text, sizeof text, "idcode=0x%08X", id);
    device.scenario = text;
    const uint8_t variant = image[DP_HEADER_VARIANT];
    if (variant == 7) device.scenario += ",variant=m7";
    if (variant == 1) device.scenario += ",variant=m1";
    device.arrayScale = std::max(1.0, double(row->arrayRowCount) * row->rowWidthFactor /
                                          (double(demo->arrayRowCount) * demo->rowWidthFactor));
    return device;
}

[[noreturn]] void Fail(const std::string& action, const std::string& what) {
    fprintf(stderr, "\nFAILED: action %s: %s\n", action.c_str(), what.c_str());
    abort();
}

// The simulated box and board as the run worker finds them: the device
// manager holds the box, the JTAG port is switched on.
class Board {
public:
    explicit Board(const std::string& scenario) {
        std::string error;
        sim_ = vexu::sim::MakeSimulator(scenario, error);
        if (!sim_) Fail("-", "the simulator cannot be built: " + error);
        CDevManage::SetBackend(sim_.get());
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &events_);
        if (CDevManage::GetHandle() == 0) Fail("-", "the simulated box is not found");
        EnableJtagPort();
    }
    ~Board() {
        DisableJtagPort();
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
    }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // What every run must leave behind, whatever it reported.
    void CheckAfter(const std::string& action) {
        vexu::sim::SimBox& box = sim_->Box();
        if (box.Counters().violations != 0) {
            std::string lines;
            for (const std::string& line : box.Violations()) lines += "\n  " + line;
            Fail(action, "protocol violations:" + lines);
        }
        if (box.CommandInProgress()) Fail(action, "a box command was left unfinished");
        auto* fpga = dynamic_cast<vexu::sim::FpgaModel*>(box.Jtag());
        if (fpga && fpga->InProgrammingMode()) Fail(action, "the device was left in programming mode");
    }

private:
    std::unique_ptr<vexu::sim::SimBackend> sim_;
    vexu::RecordingTarget events_;
};

// The CRC trailer that the header's size field calls for, when it fits.
void SealCrc(std::vector<uint8_t>& image) {
    if (image.size() < DP_HEADER_IMAGE_SIZE + 4) return;
    uint32_t size = 0;
    for (int i = 3; i >= 0; --i) size = size << 8 | image[DP_HEADER_IMAGE_SIZE + i];
    if (size < 3 || size > image.size()) return;
    const uint16_t crc = dp_crc16_kermit(image.data(), size - 2);
    image[size - 2] = static_cast<uint8_t>(crc);
    image[size - 1] = static_cast<uint8_t>(crc >> 8);
}

// Runs every action on the image on a fresh board; returns the longest run.
// Without a budget, none applies.
uint64_t RunAll(std::vector<uint8_t>& image, bool budgeted) {
    const Device device = DeviceFor(image);
    const uint64_t budgetUs = budgeted ? kHangMarginUs + static_cast<uint64_t>(g_demoWorkUs * device.arrayScale) +
                                             kPerImageByteUs * image.size()
                                       : UINT64_MAX;
    dp_reset_state();
    g_fpgaData = image.empty() ? nullptr : image.data();
    g_fpgaSize = static_cast<uint32_t>(image.size());
    Board board(device.scenario);
    uint64_t longest = 0;
    auto run = [&](const std::string& action, auto&& body) {
        g_clock.StartBudget(budgetUs, "action " + action);
        body();
        longest = std::max(longest, g_clock.SinceStartUs());
        g_clock.EndBudget();
        board.CheckAfter(action);
    };
    for (unsigned code = 0; code <= kLastActionCode; ++code) {
        const DpActionEntry* entry = dp_action_entry(static_cast<uint8_t>(code));
        if (entry) run(entry->name, [&] { RunFpgaJob(entry->name); });
    }
    for (uint8_t code : kUnknownCodes) {
        run("code " + std::to_string(code), [&] {
            g_dpState.actionCode = code;
            dp_engine_run();
        });
    }
    g_fpgaData = nullptr;
    g_fpgaSize = 0;
    return longest;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vexu::SetClock(&g_clock);
    std::vector<uint8_t> demo = vexu::image::MakeDemoFpgaImage();
    g_demoWorkUs = RunAll(demo, false);
    fprintf(stderr, "engine_image: the longest demo image run takes %.3f s of virtual time\n",
            static_cast<double>(g_demoWorkUs) / 1e6);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) return -1;
    // An exact-size copy: a read past the image's last byte is a read past
    // the allocation.
    std::vector<uint8_t> image(data, data + size);
    SealCrc(image);
    RunAll(image, true);
    return 0;
}
