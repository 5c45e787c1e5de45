// The engine against the simulated box and FPGA in virtual time: images
// from the image builder, runs through the FPGA job, and what the device
// holds afterwards.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/dp_frame.h"
#include "engine/dp_state.h"
#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/trace.h"
#include "run/fpga_job.h"
#include "common/image_buffers.h"
#include "common/run_messages.h"
#include "sim/fpga_model.h"
#include "sim/simulator.h"
#include "tools/image/demo_images.h"
#include "tools/image/image_builder.h"

namespace vexu::test {

// The window of the tests: every run text with the box's report count at
// the moment it was posted.
class TextWindow : public MessageTarget {
public:
    struct Text {
        std::string text;
        WPARAM value;
        uint64_t reports;
    };
    void Post(uint32_t message, WPARAM wParam, LPARAM) override {
        if (message != WM_RUN_TEXT) return;
        texts.push_back({GetMsgText(), wParam, reportCount ? reportCount() : 0});
    }
    std::vector<Text> texts;
    std::function<uint64_t()> reportCount;
};

class SimEngineTest : public ::testing::Test {
protected:
    void TearDown() override {
        Stop();
        g_fpgaData = nullptr;
        g_fpgaSize = 0;
        dp_reset_state();
    }

    // "00112233..": 32 hexadecimal digits, byte 0 first, as the scenario takes keys.
    static std::string KeyHex(const image::Key128& key) {
        static const char digits[] = "0123456789ABCDEF";
        std::string hex;
        for (uint8_t byte : key) {
            hex += digits[byte >> 4];
            hex += digits[byte & 15];
        }
        return hex;
    }

    // A fresh box and board; "jtag=fpga" and the keys given.
    void Start(const std::string& keys = "") {
        Stop();
        std::string error;
        sim = sim::MakeSimulator("jtag=fpga" + (keys.empty() ? "" : "," + keys), error);
        ASSERT_TRUE(sim) << error;
        CDevManage::SetBackend(sim.get());
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &window);
        InitMsgQueue(&window);
        window.reportCount = [this] { return Reports(); };
        // The run worker switches the JTAG port on before the FPGA job.
        CHidDevice::SetPort(kJtagPort, 0x01, 0x0E, nullptr);
    }

    void Stop() {
        if (!sim) return;
        FreeMsgQueue();
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
        sim.reset();
    }

    sim::FpgaModel& Fpga() { return *static_cast<sim::FpgaModel*>(sim->Box().Jtag()); }

    void Load(const std::vector<uint8_t>& bytes) {
        image = bytes;
        g_fpgaData = image.data();
        g_fpgaSize = static_cast<uint32_t>(image.size());
    }

    static std::vector<uint8_t> Build(const image::ImageParts& parts) {
        std::vector<uint8_t> bytes;
        std::string error;
        EXPECT_TRUE(image::BuildImage(parts, bytes, error)) << error;
        return bytes;
    }

    // One FPGA job with the action; returns the engine error code.
    uint8_t Run(const char* action) {
        trace.Clear();
        window.texts.clear();
        RunFpgaJob(action);
        return g_dpState.errorCode;
    }

    // The "SetFpgaProgress" posts of the last run.
    std::vector<TextWindow::Text> ProgressTexts() const {
        std::vector<TextWindow::Text> posts;
        for (const TextWindow::Text& t : window.texts)
            if (t.text == kFpgaProgressText) posts.push_back(t);
        return posts;
    }
    std::vector<uintptr_t> ProgressPosts() const {
        std::vector<uintptr_t> percents;
        for (const TextWindow::Text& t : ProgressTexts()) percents.push_back(t.value);
        return percents;
    }

    // Texts may span trace lines (a text and its number).
    bool Traced(const std::string& text) const { return trace.Text().find(text) != std::string::npos; }

    uint64_t Reports() const {
        const sim::BoxCounters& c = sim->Box().Counters();
        return c.reportsWritten + c.reportsFetched;
    }

    VirtualClock clock;
    ScopedClock scopedClock{clock};
    TraceCapture trace;
    TextWindow window;
    std::unique_ptr<sim::SimBackend> sim;
    std::vector<uint8_t> image;
};

}  // namespace vexu::test
