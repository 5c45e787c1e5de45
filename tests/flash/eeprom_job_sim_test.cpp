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
#include "flash/chip_table.h"
#include "run/eeprom_job.h"
#include "run/eeprom_tools.h"
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
    int RunJob(const EepromJobOptions& options = {}) {
        CHidDevice::SetPort(kSerialPort, 0xFC, 0xFF, nullptr);
        const int result = RunEepromJob(g_eepromData, g_eepromSize, options);
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

namespace {

// Every part of the chip table, with its own timing and with the fixed
// waits: identified as itself, the whole chip erased (the first boards'
// chips sector by sector, every other part with one bulk erase), the image
// written with the part's addressing and read back, then a few bytes
// rewritten across the boundary of two of its 4 KiB erase units near the
// chip's end, which must change those bytes only. Its own timing waits at
// least the part's typical times and tests the chip less often than the
// fixed waits (compared up to 4 MiB; above that a part finishes at once with
// the fixed waits, so that the test stays quick).
TEST(EepromJobOnSimulator, EveryPartOfTheTableIsIdentifiedProgrammedAndVerifiedAtBothSpeeds) {
    const std::vector<uint8_t> image = Pattern(3 * 256 + 17);  // the last page partial
    const std::vector<uint8_t> patch(40, 0x3C);
    constexpr uint32_t kComparedUpTo = 4 * 1024 * 1024;
    for (const FlashPart& part : FlashParts()) {
        SCOPED_TRACE(part.name);
        const bool legacy = part.driver != FlashDriver::kJedec;
        int chipReports = 0;
        for (FlashTiming timing : {FlashTiming::kChip, FlashTiming::kFixed}) {
            const bool compared = timing == FlashTiming::kChip || part.size <= kComparedUpTo;
            SimRun run(std::string("flash=") + part.name + ",flash-fill=0x5A" + (compared ? "" : ",flash-busy-percent=0"),
                       image);
            ASSERT_TRUE(run.sim);
            EepromJobOptions options;
            options.timing = timing;
            const uint64_t start = run.clock.NowUs();
            ASSERT_EQ(run.RunJob(options), 1) << GetEepromError();
            const uint64_t tookUs = run.clock.NowUs() - start;
            EXPECT_EQ(GetEepromChip(), part.name);
            const SpiFlash& flash = *run.Flash();
            const FlashErase& block = LargestErase(part);
            EXPECT_EQ(flash.EraseCount(), legacy ? part.size / block.size : 1u);
            EXPECT_EQ(flash.ProgramCount(), 4u);
            for (uint32_t a = 0; a < image.size(); ++a) ASSERT_EQ(flash.ByteAt(a), image[a]) << a;
            EXPECT_EQ(flash.ByteAt(static_cast<uint32_t>(image.size())), 0xFF);
            EXPECT_EQ(flash.ByteAt(part.size - 1), 0xFF) << "the whole chip was erased";
            EXPECT_EQ(run.Violations(), 0u) << run.ViolationText();
            EXPECT_EQ(GetEepromFindings().statusBefore.has_value(), !legacy);
            if (timing == FlashTiming::kChip) {
                const uint64_t eraseUs = legacy ? flash.EraseCount() * block.ms.typical * 1000
                                                : uint64_t{part.chipEraseMs.typical} * 1000;
                EXPECT_GE(tookUs, eraseUs + 4 * part.programUs.typical);
                chipReports = run.Reports();
            } else if (compared) {
                EXPECT_LT(chipReports, run.Reports()) << "the chip's own timing tests it less often";
                continue;
            }
            // The smallest erase unit, with the part's own opcodes (the
            // parts whose smallest erase is a 64 KiB or larger sector are
            // rewritten in parts by the command-line tests).
            const uint32_t unit = SmallestErase(part).size;
            if (timing != FlashTiming::kChip || unit > 4096) continue;
            const uint32_t at = part.size - unit - static_cast<uint32_t>(patch.size()) / 2;
            CHidDevice::SetPort(kSerialPort, 0xFC, 0xFF, nullptr);
            EepromWriteReport report;
            const EepromOutcome written = WriteEepromAt(patch, at, options, report);
            CHidDevice::SetPort(kSerialPort, 0xFF, 0xFF, nullptr);
            ASSERT_TRUE(written.ok) << written.failure;
            EXPECT_EQ(report.unitsErased, 2u);
            EXPECT_EQ(report.eraseUnit, unit);
            for (uint32_t a = part.size - 2 * unit; a < part.size; ++a)
                ASSERT_EQ(flash.ByteAt(a), a >= at && a < at + patch.size() ? 0x3C : 0xFF) << a;
            EXPECT_EQ(flash.ByteAt(0), image[0]);
        }
    }
}

// The paths a part other than a plain good one takes: a relabelled part
// (its SFDP disagrees with its ID), one the table lacks, a write-protected
// one; nothing is erased where the step must refuse.
TEST(EepromJobOnSimulator, RelabelledUnknownAndProtectedPartsFailEarlyOrGoThroughOnRequest) {
    struct Case {
        const char* name;
        std::string scenario;
        EepromJobOptions options;
        std::string failure;  // empty: the step passes
        const char* chip;
        std::optional<uint8_t> statusBefore;
        std::optional<uint8_t> statusAfter;
        uint8_t chipStatusBits;  // the chip's BP bits at the end
        bool sfdpChip;
        int lockedSector = -1;  // a sector locked at the start, and its lock register at the end
        uint8_t lockAtEnd = 0;
    };
    auto with = [](bool allow, bool unprotect, bool reprotect) {
        EepromJobOptions o;
        o.allowSfdpChip = allow;
        o.unprotect = unprotect;
        o.reprotect = reprotect;
        return o;
    };
    const Case cases[] = {
        {"relabelled", "flash=W25Q128JV,flash-sfdp=W25Q64JV", with(true, true, false),
         "Eeprom SFDP Mismatch: W25Q128JV (EF 40 18) has size 8388608 bytes in its SFDP, 16777216 bytes in the chip "
         "table",
         "", std::nullopt, std::nullopt, 0, false},
        {"SFDP table missing", "flash=N25Q128A,flash-sfdp=none", with(true, true, false),
         "Eeprom SFDP Mismatch: N25Q128A (20 BA 18): no SFDP signature", "", std::nullopt, std::nullopt, 0, false},
        {"only SFDP knows it", "flash=W25Q64JV,flash-id=0xEF7117", with(false, false, false),
         " Eeprom Id Error: EF 71 17 is in no row of the chip table and only its SFDP describes it (allow SFDP chips "
         "to program it)",
         "", std::nullopt, std::nullopt, 0, false},
        {"only SFDP knows it, allowed", "flash=W25Q64JV,flash-id=0xEF7117", with(true, false, false), "",
         "SFDP-EF-71-17", 0x00, 0x00, 0, true},
        {"protected", "flash=W25Q128JV,flash-protect=0x04", with(false, false, false),
         "Eeprom Write Protected: blocks 252 to 255 (0xFC0000-0xFFFFFF) (status register 0x04)", "W25Q128JV", 0x04,
         std::nullopt, 0x04, false},
        {"unprotected", "flash=W25Q128JV,flash-protect=0x04", with(false, true, false), "", "W25Q128JV", 0x04, 0x00,
         0x00, false},
        {"unprotected and protected again", "flash=MX25L12835F,flash-protect=0x3C", with(false, true, true), "",
         "MX25L12835F", 0x3C, 0x3C, 0x3C, false},
        {"sector locked", "flash=MT25QL512,flash-locked-sector=1000", with(false, false, false),
         "Eeprom Write Protected: sector 1000 locked", "MT25QL512", 0x00, std::nullopt, 0x00, false, 1000, 0x01},
        {"sector locked and blocks protected, both undone and done again",
         "flash=N25Q128A,flash-locked-sector=0,flash-protect=0x40", with(false, true, true), "", "N25Q128A", 0x40,
         0x40, 0x40, false, 0, 0x01},
        {"sector unlocked for good", "flash=N25Q128A,flash-locked-sector=0", with(false, true, false), "", "N25Q128A",
         0x00, 0x00, 0x00, false, 0, 0x00},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimRun run(c.scenario + ",flash-busy-percent=0", Pattern(4096));
        ASSERT_TRUE(run.sim);
        EXPECT_EQ(run.RunJob(c.options), c.failure.empty() ? 1 : 0);
        EXPECT_EQ(GetEepromError(), c.failure.empty() ? GetEepromError() : c.failure);
        EXPECT_EQ(GetEepromChip(), c.chip);
        const EepromFindings findings = GetEepromFindings();
        EXPECT_EQ(findings.statusBefore, c.statusBefore);
        EXPECT_EQ(findings.statusAfter, c.statusAfter);
        EXPECT_EQ(findings.sfdpChip, c.sfdpChip);
        EXPECT_EQ(run.Flash()->Status() & 0x7C, c.chipStatusBits);
        EXPECT_FALSE(run.sim->Box().InSerialMode());
        if (c.lockedSector >= 0) EXPECT_EQ(run.Flash()->SectorLock(static_cast<uint32_t>(c.lockedSector)), c.lockAtEnd);
        if (c.failure.empty()) {
            EXPECT_EQ(run.Flash()->ByteAt(4095), run.Image()[4095]);
        } else {
            EXPECT_EQ(run.Flash()->EraseCount(), 0u) << "refused before anything was erased";
        }
    }
}

}  // namespace
