// The serial-flash job end to end against the simulated box and its SPI
// flash chips, in virtual time: every chip, progress, each failure with its
// cause injected in the simulator, and the box unplugged mid-job.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <numeric>

#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "run/eeprom_job.h"
#include "common/image_buffers.h"
#include "sim/sim_box.h"
#include "sim/simulator.h"
#include "sim/spi_flash.h"
#include "support/flash_fakes.h"

using vexu::sim::SimBackend;
using vexu::sim::SimBox;
using vexu::sim::SpiFlash;
using vexu::test::ProgressRecorder;

namespace {

constexpr uint64_t kSecond = 1'000'000;
constexpr uint32_t kImageSize = 262144;

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 13 + (i >> 9)) ^ 0xC3);
    return bytes;
}

// Reads of one byte address come back with bit 0 inverted: a cell that no
// longer holds what was programmed into it.
class FlippedReadByte : public vexu::sim::SpiDevice {
public:
    FlippedReadByte(std::unique_ptr<SpiFlash> flash, uint32_t address)
        : flash_(std::move(flash)), target_(address) {}
    void Select() override {
        flash_->Select();
        count_ = 0;
        address_ = 0;
    }
    uint8_t Transfer(uint8_t mosi) override {
        uint8_t miso = flash_->Transfer(mosi);
        if (count_ == 0) opcode_ = mosi;
        else if (count_ <= 3) address_ = address_ << 8 | mosi;
        else if (opcode_ == vexu::sim::kFlashRead && address_ + (count_ - 4) == target_) miso ^= 0x01;
        ++count_;
        return miso;
    }
    void Deselect() override { flash_->Deselect(); }
    SpiFlash& Flash() { return *flash_; }

private:
    std::unique_ptr<SpiFlash> flash_;
    uint32_t target_;
    uint32_t count_ = 0;
    uint8_t opcode_ = 0;
    uint32_t address_ = 0;
};

// The simulated box as the programmer, on a virtual clock, with an image in
// the serial-flash buffer.
class SimRun {
public:
    SimRun(const std::string& scenario, std::vector<uint8_t> image) : image_(std::move(image)) {
        std::string error;
        sim = vexu::sim::MakeSimulator(scenario, error);
        EXPECT_TRUE(sim) << error;
        CDevManage::SetBackend(sim.get());
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, nullptr);
        g_eepromData = image_.data();
        g_eepromSize = static_cast<uint32_t>(image_.size());
    }
    ~SimRun() {
        g_eepromData = nullptr;
        g_eepromSize = 0;
        CDevManage::End();
        CDevManage::SetBackend(nullptr);
    }

    // The job between the serial port's switching on and off, as in a run.
    int RunJob() {
        CHidDevice::SetPort(kSerialPort, 0xFC, 0xFF, nullptr);
        const int result = RunEepromJob();
        CHidDevice::SetPort(kSerialPort, 0xFF, 0xFF, nullptr);
        return result;
    }

    SpiFlash* Flash() { return dynamic_cast<SpiFlash*>(sim->Box().Spi()); }
    int Reports() { return static_cast<int>(sim->Counters().transfers); }
    uint64_t Violations() { return sim->Box().Counters().violations; }
    std::string ViolationText() {
        std::string text;
        for (const std::string& v : sim->Box().Violations()) text += v + "\n";
        return text;
    }
    const std::vector<uint8_t>& Image() const { return image_; }

    vexu::VirtualClock clock;
    vexu::ScopedClock scopedClock{clock};
    std::unique_ptr<SimBackend> sim;

private:
    std::vector<uint8_t> image_;
};

TEST(EepromJobOnSimulator, EveryChipEndsUpHoldingTheImage) {
    const struct {
        const char* chip;
        uint32_t imageSize;
        uint64_t erases;
    } cases[] = {
        {"M25P20", kImageSize, 4},
        {"M25P40", kImageSize, 8},
        {"M25P80", kImageSize, 16},
        {"TS25L80P", kImageSize, 16},
        {"M25P40", kImageSize + 100, 8},  // a partial last page
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.chip << " " << c.imageSize);
        SimRun run(std::string("flash=") + c.chip + ",flash-fill=0x5A", Pattern(c.imageSize));
        ASSERT_TRUE(run.sim);
        ProgressRecorder progress([&run] { return static_cast<int>(run.Flash()->ProgramCount()); });
        vexu::TraceCapture trace;
        const uint64_t start = run.clock.NowUs();
        const auto wallStart = std::chrono::steady_clock::now();

        ASSERT_EQ(run.RunJob(), 1) << GetEepromError();

        const std::vector<uint8_t>& held = run.Flash()->Contents();
        EXPECT_TRUE(std::equal(run.Image().begin(), run.Image().end(), held.begin()));
        EXPECT_TRUE(std::all_of(held.begin() + c.imageSize, held.end(), [](uint8_t b) { return b == 0xFF; }));
        EXPECT_EQ(run.Flash()->EraseCount(), c.erases);
        EXPECT_EQ(run.Flash()->ProgramCount(), (c.imageSize + 255) / 256);
        EXPECT_EQ(run.Violations(), 0u) << run.ViolationText();
        EXPECT_FALSE(run.sim->Box().InSerialMode());
        EXPECT_TRUE(trace.Contains(std::string("EEPROM: ") + c.chip + "."));
        // Ten seconds of serial-mode entry and the chip's busy times pass
        // in virtual time only.
        EXPECT_GT(run.clock.NowUs() - start, 10 * kSecond);
        EXPECT_LT(std::chrono::steady_clock::now() - wallStart, std::chrono::seconds(10));

        std::vector<vexu::WPARAM> expected(99);
        std::iota(expected.begin(), expected.end(), 1u);
        EXPECT_EQ(progress.Percents(), expected);
        if (c.imageSize == kImageSize) {
            EXPECT_EQ(progress.posts.front().count, 22);
        }
    }
}

// Report counts of a clean run at two moments: when 1 % is posted (page 21
// has just been programmed; the next report is the program of page 22) and
// when 50 % is posted (page 0 has just been read back).
struct Milestones {
    int afterPage21Program = 0;
    int afterPage0Read = 0;
};

Milestones CleanRunMilestones(const std::string& chip) {
    SimRun run("flash=" + chip, Pattern(kImageSize));
    ProgressRecorder progress([&run] { return run.Reports(); });
    EXPECT_EQ(run.RunJob(), 1);
    Milestones m;
    for (const ProgressRecorder::ProgressPost& post : progress.posts) {
        if (post.percent == 1) m.afterPage21Program = post.count;
        if (post.percent == 50) m.afterPage0Read = post.count;
    }
    return m;
}

TEST(EepromJobOnSimulator, EachFailureHasItsTextAndSerialModeIsLeft) {
    const Milestones m = CleanRunMilestones("M25P20");
    ASSERT_GT(m.afterPage21Program, 0);
    ASSERT_GT(m.afterPage0Read, m.afterPage21Program);
    struct Case {
        std::string name;
        std::string scenario;
        uint32_t imageSize;
        const char* text;
        bool exitTried;   // "Exit Eeprom Mode." was traced
        bool modeLeft;    // the box left serial mode
        uint64_t maxSeconds;
    };
    const std::string fail = ",fail-report=";
    const Case cases[] = {
        {"mode refused", "flash=M25P20,refuse-serial", kImageSize, " Entry Eeprom Mode False", false, true, 6},
        {"no chip answers", "flash=none", kImageSize, " Eeprom Id Error", true, true, 11},
        {"erase never ends", "flash=M25P20,flash-stuck-busy", kImageSize, "Device Error", true, true, 22},
        {"program report fails", "flash=M25P20" + fail + std::to_string(m.afterPage21Program + 1), kImageSize,
         "Device Write Error", true, false, 30},
        {"read report fails", "flash=M25P20" + fail + std::to_string(m.afterPage0Read + 1), kImageSize,
         "Device Read Error", true, false, 30},
        {"image larger than the chip", "flash=M25P20", kImageSize + 1, "Eeprom Image Too Large", true, true, 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimRun run(c.scenario, Pattern(c.imageSize));
        ASSERT_TRUE(run.sim);
        vexu::TraceCapture trace;
        const uint64_t start = run.clock.NowUs();
        EXPECT_EQ(run.RunJob(), 0);
        EXPECT_EQ(GetEepromError(), c.text);
        EXPECT_EQ(trace.Count("Exit Eeprom Mode.\r\n"), c.exitTried ? 1u : 0u);
        if (c.modeLeft) {
            EXPECT_FALSE(run.sim->Box().InSerialMode());
        }
        EXPECT_LE(run.clock.NowUs() - start, c.maxSeconds * kSecond);
        EXPECT_EQ(run.Violations(), 0u) << run.ViolationText();
        if (c.imageSize > kImageSize) {
            EXPECT_EQ(run.Flash()->EraseCount(), 0u);
        }
    }
}

TEST(EepromJobOnSimulator, DifferenceInTheLastByteIsFound) {
    const struct {
        const char* chip;
        uint32_t imageSize;
    } cases[] = {{"TS25L80P", kImageSize}, {"M25P40", kImageSize + 100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chip);
        SimRun run(std::string("flash=") + c.chip, Pattern(c.imageSize));
        ASSERT_TRUE(run.sim);
        auto flipped = std::make_unique<FlippedReadByte>(
            std::make_unique<SpiFlash>(*vexu::sim::FindFlashChip(c.chip)), c.imageSize - 1);
        FlippedReadByte* device = flipped.get();
        run.sim->Box().AttachSpiDevice(std::move(flipped));
        EXPECT_EQ(run.RunJob(), 0);
        EXPECT_EQ(GetEepromError(), "Device Check Error");
        EXPECT_EQ(device->Flash().ProgramCount(), (c.imageSize + 255) / 256);
        EXPECT_FALSE(run.sim->Box().InSerialMode());
        EXPECT_EQ(run.Violations(), 0u) << run.ViolationText();
    }
}

// An empty image would erase the chip, write nothing and pass: it is
// refused before the job sends anything, and the chip keeps what it held.
TEST(EepromJobOnSimulator, EmptyImageIsRefusedBeforeAnythingIsSent) {
    SimRun run("flash=M25P40,flash-fill=0x00", {});
    ASSERT_TRUE(run.sim);
    ProgressRecorder progress([] { return 0; });
    const int before = run.Reports();
    EXPECT_EQ(RunEepromJob(), 0);
    EXPECT_EQ(GetEepromError(), "Eeprom Image Empty");
    EXPECT_EQ(run.Reports(), before);
    EXPECT_EQ(run.Flash()->EraseCount(), 0u);
    EXPECT_TRUE(std::all_of(run.Flash()->Contents().begin(), run.Flash()->Contents().end(),
                            [](uint8_t b) { return b == 0x00; }));
    EXPECT_TRUE(progress.posts.empty());
    EXPECT_EQ(GetEepromChip(), "");
}

TEST(EepromJobOnSimulator, UnpluggedMidJobFailsAtTheFirstCheckAndNeverHangs) {
    const Milestones m = CleanRunMilestones("M25P80");
    struct Case {
        const char* phase;
        int unplugAfter;
        const char* text;
        bool exitTried;
    };
    const Case cases[] = {
        {"entry frame", 3, " Entry Eeprom Mode False", false},
        {"signature", 6, " Eeprom Id Error", true},
        {"erase", 40, "Device Error", true},
        {"program", m.afterPage21Program + 1, "Device Write Error", true},
        {"busy test after a program", m.afterPage21Program + 3, "Device Write Error", true},
        {"read back", m.afterPage0Read + 2, "Device Read Error", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.phase);
        SimRun run("flash=M25P80,unplug-after=" + std::to_string(c.unplugAfter), Pattern(kImageSize));
        ASSERT_TRUE(run.sim);
        vexu::TraceCapture trace;
        const uint64_t start = run.clock.NowUs();
        EXPECT_EQ(run.RunJob(), 0);
        EXPECT_EQ(GetEepromError(), c.text);
        EXPECT_EQ(trace.Count("Exit Eeprom Mode.\r\n"), c.exitTried ? 1u : 0u);
        EXPECT_FALSE(run.sim->Plugged());
        // At most serial-mode entry, the writes and reads before the unplug,
        // and one erase wait (512 x 20 ms) or program wait (100 x 5 ms).
        EXPECT_LE(run.clock.NowUs() - start, 60 * kSecond);
        EXPECT_EQ(run.Violations(), 0u) << run.ViolationText();
    }
}

}  // namespace
