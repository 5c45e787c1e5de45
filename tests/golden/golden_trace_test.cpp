// Golden wire traces. Each engine action on the demo image, and the
// serial-flash job on the demo serial-flash image, runs on a fresh healthy
// simulated board with the report log on; the log must equal the
// checked-in one (xz-compressed) byte for byte. A change of any report, its order or its
// count shows here. After a deliberate protocol change, scripts/golden
// writes the logs again and the change is reviewed as their diff.
#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/dp_frame.h"
#include "engine/dp_state.h"
#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "link/report_log.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/trace.h"
#include "run/eeprom_job.h"
#include "run/fpga_job.h"
#include "common/image_buffers.h"
#include "common/run_messages.h"
#include "run/thread_action.h"
#include "sim/simulator.h"
#include "support/temp_dir.h"
#include "tools/image/demo_images.h"

namespace vexu::test {
namespace {

// One golden trace: an engine action (or the serial-flash job), what the
// board must hold first, and how the run ends.
struct Golden {
    const char* name;     // an engine action, or "flash" for the serial-flash job
    const char* prepare;  // an action run first, not logged, or null
    uint8_t code;         // the engine's code at the end
};

// Verifying actions run on a board that the matching action programmed.
// The demo image carries no NVM and no encrypted array: those actions are
// refused before the device is touched beyond its identification.
const Golden kGoldens[] = {
    {"device_info", nullptr, DPE_SUCCESS},
    {"read_idcode", nullptr, DPE_SUCCESS},
    {"verify_device_info", "program", DPE_SUCCESS},
    {"erase", nullptr, DPE_SUCCESS},
    {"erase_all", nullptr, DPE_SUCCESS},
    {"program", nullptr, DPE_SUCCESS},
    {"verify", "program", DPE_SUCCESS},
    {"enc_data_authentication", nullptr, DPE_IMAGE_LACKS_DATA},
    {"erase_array", nullptr, DPE_SUCCESS},
    {"program_array", nullptr, DPE_SUCCESS},
    {"verify_array", "program_array", DPE_SUCCESS},
    {"erase_from", nullptr, DPE_SUCCESS},
    {"program_from", nullptr, DPE_SUCCESS},
    {"verify_from", "program_from", DPE_SUCCESS},
    {"erase_security", nullptr, DPE_SUCCESS},
    {"program_security", nullptr, DPE_SUCCESS},
    {"program_nvm", nullptr, DPE_IMAGE_LACKS_DATA},
    {"verify_nvm", nullptr, DPE_IMAGE_LACKS_DATA},
    {"flash", nullptr, DPE_SUCCESS},
};

std::string GoldenPath(const std::string& name) {
    return std::string(VEXU_GOLDEN_DIR) + "/" + (name == "flash" ? name : "action_" + name) + ".log.xz";
}

bool Regenerating() {
    const char* value = std::getenv("VEXU_REGENERATE_GOLDEN");
    return value && std::string(value) == "1";
}

std::string ReadPlain(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Runs the whole of input through an xz coder; false when the coder fails.
bool Code(lzma_stream& stream, const std::string& input, std::string& output) {
    stream.next_in = reinterpret_cast<const uint8_t*>(input.data());
    stream.avail_in = input.size();
    uint8_t buffer[65536];
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK) {
        stream.next_out = buffer;
        stream.avail_out = sizeof buffer;
        result = lzma_code(&stream, LZMA_FINISH);
        output.append(reinterpret_cast<const char*>(buffer), sizeof buffer - stream.avail_out);
    }
    lzma_end(&stream);
    return result == LZMA_STREAM_END;
}

// The log in an xz file; false when the file is missing or damaged.
bool ReadXz(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    const std::string packed((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&stream, UINT64_MAX, 0) != LZMA_OK) return false;
    text.clear();
    return Code(stream, packed, text);
}

// xz carries no time or file name: the same log always gives the same file.
bool WriteXz(const std::string& path, const std::string& text) {
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_easy_encoder(&stream, LZMA_PRESET_DEFAULT, LZMA_CHECK_CRC64) != LZMA_OK) return false;
    std::string packed;
    if (!Code(stream, text, packed)) return false;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(packed.data(), static_cast<std::streamsize>(packed.size()));
    return static_cast<bool>(file);
}

// Where two logs part: the line number and both lines.
std::string FirstDifference(const std::string& expected, const std::string& actual) {
    std::istringstream a(expected);
    std::istringstream b(actual);
    std::string lineA;
    std::string lineB;
    for (size_t line = 1;; ++line) {
        const bool moreA = static_cast<bool>(std::getline(a, lineA));
        const bool moreB = static_cast<bool>(std::getline(b, lineB));
        if (!moreA && !moreB) return "the logs differ only in their line ends";
        if (!moreA || !moreB || lineA != lineB) {
            return "first difference at line " + std::to_string(line) + "\n  golden: " +
                   (moreA ? lineA : "(end)") + "\n  now:    " + (moreB ? lineB : "(end)");
        }
    }
}

// The run texts are taken as they come and dropped.
class DroppedTexts : public MessageTarget {
public:
    void Post(uint32_t message, WPARAM, LPARAM) override {
        if (message == WM_RUN_TEXT) GetMsgText();
    }
};

class GoldenTraceTest : public testing::TestWithParam<Golden> {
protected:
    void SetUp() override {
        fpgaImage_ = image::MakeDemoFpgaImage();
        eepromImage_ = image::MakeDemoEepromImage();
        g_fpgaData = fpgaImage_.data();
        g_fpgaSize = static_cast<uint32_t>(fpgaImage_.size());
        g_eepromData = eepromImage_.data();
        g_eepromSize = static_cast<uint32_t>(eepromImage_.size());
        std::string error;
        sim_ = sim::MakeSimulator("", error);
        ASSERT_TRUE(sim_) << error;
        CDevManage::SetBackend(sim_.get());
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &devices_);
        InitMsgQueue(&texts_);
        ASSERT_NE(CDevManage::GetHandle(), 0);
    }
    void TearDown() override {
        SetReportLog("");
        FreeMsgQueue();
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
        g_fpgaData = nullptr;
        g_fpgaSize = 0;
        g_eepromData = nullptr;
        g_eepromSize = 0;
        dp_reset_state();
    }

    // One engine action between the JTAG port and lamps going on and off,
    // as "vexu-cli action" runs it; returns the engine's code.
    static uint8_t Action(const char* name) {
        EnableJtagPort();
        CHidDevice::LightLed(1, 1);
        RunFpgaJob(name);
        CHidDevice::LightLed(0, 0);
        DisableJtagPort();
        return g_dpState.errorCode;
    }

    // The serial-flash job between the serial port going on and off, as
    // "vexu-cli flash" runs it.
    static bool FlashJob() {
        EnableEepromPort();
        const int done = RunEepromJob();
        DisableEepromPort();
        return done == 1;
    }

    VirtualClock clock_;
    ScopedClock scopedClock_{clock_};
    TraceCapture trace_;  // the engine's lines stay out of the test's output
    RecordingTarget devices_;
    DroppedTexts texts_;
    std::vector<uint8_t> fpgaImage_;
    std::vector<uint8_t> eepromImage_;
    std::unique_ptr<sim::SimBackend> sim_;
    TempDir dir_;
};

TEST_P(GoldenTraceTest, ReportLogEqualsTheCheckedInOne) {
    const Golden& golden = GetParam();
    const std::string name = golden.name;
    if (golden.prepare) {
        ASSERT_EQ(Action(golden.prepare), DPE_SUCCESS) << golden.prepare;
    }

    const std::string logPath = dir_.File("reports.log");
    ASSERT_TRUE(SetReportLog(logPath));
    if (name == "flash") {
        EXPECT_TRUE(FlashJob()) << GetEepromError();
    } else {
        EXPECT_EQ(Action(golden.name), golden.code);
    }
    SetReportLog("");
    // A healthy run: the box saw the protocol kept.
    EXPECT_EQ(sim_->Box().Counters().violations, 0u);
    const std::string log = ReadPlain(logPath);
    ASSERT_FALSE(log.empty());

    const std::string path = GoldenPath(name);
    if (Regenerating()) {
        ASSERT_TRUE(WriteXz(path, log)) << path;
        std::printf("wrote %s (%zu bytes of log)\n", path.c_str(), log.size());
        return;
    }
    std::string expected;
    ASSERT_TRUE(ReadXz(path, expected)) << "cannot read " << path << " (scripts/golden writes it)";
    EXPECT_EQ(log.size(), expected.size());
    if (log != expected) {
        ADD_FAILURE() << name << ": " << FirstDifference(expected, log);
    }
}

void PrintTo(const Golden& golden, std::ostream* out) { *out << golden.name; }

INSTANTIATE_TEST_SUITE_P(EveryAction, GoldenTraceTest, testing::ValuesIn(kGoldens),
                         [](const testing::TestParamInfo<Golden>& info) { return std::string(info.param.name); });

// Every action of the engine's table has its golden trace, and every golden
// trace file belongs to a row above.
TEST(GoldenTraces, CoverEveryEngineAction) {
    std::vector<std::string> names;
    for (const Golden& golden : kGoldens) names.push_back(golden.name);
    for (unsigned code = 0; code < 256; ++code) {
        const DpActionEntry* entry = dp_action_entry(static_cast<uint8_t>(code));
        if (!entry) continue;
        EXPECT_NE(std::find(names.begin(), names.end(), entry->name), names.end()) << entry->name;
    }
    EXPECT_EQ(names.size(), std::size(kGoldens));
    for (const std::string& name : names) {
        std::ifstream file(GoldenPath(name), std::ios::binary);
        EXPECT_TRUE(file.good() || Regenerating()) << GoldenPath(name);
    }
}

}  // namespace
}  // namespace vexu::test
