// The serial-flash job against the scripted box and SPI flash: identification,
// whole runs on every chip, progress, and each failure with its cause.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <numeric>

#include "platform/trace.h"
#include "run/eeprom_job.h"
#include "run/image_buffers.h"
#include "run/run_messages.h"
#include "support/flash_fakes.h"

using namespace vexu::test;

namespace {

// Installs an image as the serial-flash image for a test.
class ScopedImage {
public:
    explicit ScopedImage(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
        g_eepromData = bytes_.data();
        g_eepromSize = static_cast<uint32_t>(bytes_.size());
    }
    ~ScopedImage() {
        g_eepromData = nullptr;
        g_eepromSize = 0;
    }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + (i >> 8)) ^ 0x3C);
    return bytes;
}

constexpr uint64_t kSecond = 1'000'000;

TEST(EepromJob, EntryEepromModeSetsTheTimingSendsTheFrameAndWaits) {
    struct Case {
        bool refuse;
        int result;
        uint64_t waitedUs;
    };
    for (const Case& c : {Case{false, 1, 10 * kSecond}, Case{true, 0, 5 * kSecond}}) {
        FakeBoxSession session;
        FakeSpiFlash flash(FakeChip("M25P80"));
        flash.Attach(session.box);
        flash.refuseSerialMode = c.refuse;
        vexu::TraceCapture trace;
        const uint64_t start = session.clock.NowUs();
        EXPECT_EQ(EntryEepromMode(), c.result);
        EXPECT_GE(session.clock.NowUs() - start, c.waitedUs);
        EXPECT_LT(session.clock.NowUs() - start, c.waitedUs + kSecond);
        ASSERT_EQ(session.box.Commands().size(), 1u);
        const std::vector<uint8_t>& timing = session.box.Commands()[0].report;
        EXPECT_EQ(session.box.Commands()[0].code, 0xB2);
        EXPECT_EQ(std::vector<uint8_t>(timing.begin() + 2, timing.begin() + 11),
                  (std::vector<uint8_t>{40, 2, 22, 3, 3, 3, 3, 22, 2}));
        ASSERT_EQ(session.box.Transfers().size(), 1u);
        const SerialTransfer& entry = session.box.Transfers()[0];
        EXPECT_EQ(entry.kind, 0);
        EXPECT_FALSE(entry.withPrefix);
        EXPECT_EQ(entry.in, (std::vector<uint8_t>{0xFF, 0xFF, 'V', 'O', 'R'}));
        EXPECT_EQ(entry.outLen, 1u);
        EXPECT_TRUE(trace.Contains("Entry Eeprom Mode.\r\n"));
        EXPECT_EQ(trace.Contains(" Card Error!! \r\n"), c.refuse);
    }
}

TEST(EepromJob, ReadEepromTypeAsksTheSignatureThenTheIdentification) {
    struct Case {
        std::optional<uint8_t> signature;  // nothing: the transfer fails
        uint8_t identification;
        const char* type;
        bool identificationReached;  // the 0x9F transfer reached the box
        const char* line;
    };
    const Case cases[] = {
        {0x11, 0x20, "M25P20", false, "EEPROM: M25P20.  \r\n"},
        {0x12, 0x20, "M25P40", false, "EEPROM: M25P40.  \r\n"},
        {0x13, 0x20, "M25P80", false, "EEPROM: M25P80.   \r\n"},
        {0x14, 0x20, "TS25L80P", true, "EEPROM: TS25L80P. \r\n  "},
        {0xFF, 0x20, "TS25L80P", true, "EEPROM: TS25L80P. \r\n  "},
        {0x14, 0xC2, "", true, nullptr},
        {0x10, 0x13, "", true, nullptr},
        {std::nullopt, 0x20, "", false, nullptr},  // the box is gone after the failure
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.signature ? int(*c.signature) : -1);
        FakeBoxSession session;
        session.box.SetResponder([&c](const SerialTransfer& t) -> std::optional<std::vector<uint8_t>> {
            if (t.in.size() == 4 && t.in[0] == 0xAB && t.outLen == 1) {
                if (!c.signature) return std::nullopt;
                return std::vector<uint8_t>{*c.signature};
            }
            if (t.in == std::vector<uint8_t>{0x9F} && t.outLen == 1)
                return std::vector<uint8_t>{c.identification};
            return std::vector<uint8_t>(t.outLen, 0xEE);
        });
        vexu::TraceCapture trace;
        EXPECT_EQ(ReadEepromType(), c.type);
        const auto& sent = session.box.Transfers();
        ASSERT_GE(sent.size(), 1u);
        EXPECT_EQ(sent[0].in[0], 0xAB);
        EXPECT_EQ(sent.size(), c.identificationReached ? 2u : 1u);
        if (c.line) EXPECT_EQ(trace.Text(), c.line);
        else EXPECT_EQ(trace.Count("EEPROM:"), 0u);
    }
}

class EepromJobRun : public ::testing::Test {
protected:
    void Use(const std::string& chip, std::vector<uint8_t> image) {
        flash = std::make_unique<FakeSpiFlash>(FakeChip(chip));
        flash->Attach(session.box);
        this->image = std::make_unique<ScopedImage>(std::move(image));
        progress = std::make_unique<ProgressRecorder>(flash.get());
    }
    std::vector<uint8_t> Held(size_t from, size_t count) {
        return std::vector<uint8_t>(flash->Contents().begin() + static_cast<long>(from),
                                    flash->Contents().begin() + static_cast<long>(from + count));
    }

    FakeBoxSession session;
    vexu::TraceCapture trace;
    std::unique_ptr<FakeSpiFlash> flash;
    std::unique_ptr<ScopedImage> image;
    std::unique_ptr<ProgressRecorder> progress;
};

TEST(EepromJob, EveryChipHoldsTheImageAfterARun) {
    vexu::TraceCapture trace;
    const struct {
        const char* chip;
        uint32_t sectors;
    } chips[] = {{"M25P20", 4}, {"M25P40", 8}, {"M25P80", 16}, {"TS25L80P", 16}};
    for (const auto& c : chips) {
        SCOPED_TRACE(c.chip);
        FakeBoxSession fresh;
        FakeSpiFlash chip(FakeChip(c.chip));
        chip.Attach(fresh.box);
        ScopedImage scoped(Pattern(262144));
        ProgressRecorder recorder(&chip);
        trace.Clear();

        ASSERT_EQ(RunEepromJob(), 1) << GetEepromError();
        EXPECT_TRUE(std::equal(scoped.Bytes().begin(), scoped.Bytes().end(), chip.Contents().begin()));
        EXPECT_TRUE(std::all_of(chip.Contents().begin() + 262144, chip.Contents().end(),
                                [](uint8_t b) { return b == 0xFF; }));
        std::vector<uint32_t> order(c.sectors);
        std::iota(order.begin(), order.end(), 0u);
        EXPECT_EQ(chip.ErasedSectors(), order);
        EXPECT_EQ(chip.PagePrograms(), 1024);
        EXPECT_FALSE(chip.InSerialMode());
        EXPECT_EQ(chip.Violations(), 0);
        EXPECT_EQ(fresh.box.Violations(), 0);
        EXPECT_TRUE(trace.Contains(std::string("EEPROM: ") + c.chip));
        EXPECT_TRUE(trace.Contains("\r\nErase Eeprom..."));
        EXPECT_TRUE(trace.Contains("\r\nWrite,Read And Check Eeprom..."));

        // 1 is posted after the program of page index 21; then every value
        // up to 99 once; never 100.
        std::vector<vexu::WPARAM> expected(99);
        std::iota(expected.begin(), expected.end(), 1u);
        EXPECT_EQ(recorder.Percents(), expected);
        ASSERT_FALSE(recorder.posts.empty());
        EXPECT_EQ(recorder.posts.front().pagesProgrammed, 22);
        EXPECT_EQ(recorder.posts.front().text, "SetEepromProgress");
    }
}

TEST_F(EepromJobRun, PartialLastPageIsWrittenAndChecked) {
    Use("M25P20", Pattern(1000));
    ASSERT_EQ(RunEepromJob(), 1) << GetEepromError();
    EXPECT_EQ(flash->PagePrograms(), 4);
    EXPECT_EQ(Held(0, 1000), image->Bytes());
    EXPECT_EQ(Held(1000, 24), std::vector<uint8_t>(24, 0xFF));
    const SerialTransfer& last = *std::find_if(session.box.Transfers().rbegin(),
                                               session.box.Transfers().rend(),
                                               [](const SerialTransfer& t) { return t.in[0] == 0x02; });
    EXPECT_EQ(last.in.size(), 4u + 232);
    EXPECT_EQ(flash->Violations(), 0);
    EXPECT_EQ(session.box.Violations(), 0);
}

TEST_F(EepromJobRun, EmptyImageOnlyErases) {
    Use("M25P40", {});
    EXPECT_EQ(RunEepromJob(), 1);
    EXPECT_EQ(flash->ErasedSectors().size(), 8u);
    EXPECT_EQ(flash->PagePrograms(), 0);
    EXPECT_TRUE(progress->posts.empty());
    EXPECT_EQ(flash->ExitFrames(), 1);
}

TEST(EepromJob, EachFailureLeavesItsTextAndLeavesSerialMode) {
    vexu::TraceCapture trace;
    struct Case {
        const char* name;
        FakeChipKind chip;
        size_t imageSize;
        std::function<void(FakeSpiFlash&, FakeSerialBox&)> inject;
        const char* text;
        bool modeLeft;   // the exit frame reached the chip
        bool exitTried;  // the job tried to leave serial mode
        uint64_t maxSeconds;
    };
    auto programOf = [](uint32_t page) {
        return [page](const SerialTransfer& t) {
            return t.in.size() > 4 && t.in[0] == 0x02 && t.in[1] == (page >> 8 & 0xFF) && t.in[2] == (page & 0xFF);
        };
    };
    auto readOf = [](uint32_t page) {
        return [page](const SerialTransfer& t) {
            return t.in.size() == 4 && t.in[0] == 0x03 && t.in[2] == (page & 0xFF);
        };
    };
    const Case cases[] = {
        {"serial mode refused", FakeChip("M25P80"), 262144, [](FakeSpiFlash& f, FakeSerialBox&) { f.refuseSerialMode = true; },
         " Entry Eeprom Mode False", false, false, 6},
        {"unknown chip", FakeChipKind{"other", 0x40000, 0x05, {0xC2, 0x20, 0x12}}, 262144, {},
         " Eeprom Id Error", true, true, 11},
        {"erase stays busy", FakeChip("M25P80"), 262144, [](FakeSpiFlash& f, FakeSerialBox&) { f.stuckSector = 2; },
         "Device Error", true, true, 30},
        {"program fails", FakeChip("M25P40"), 262144, [&](FakeSpiFlash& f, FakeSerialBox&) { f.failWhen = programOf(300); },
         "Device Write Error", false, true, 30},
        {"read fails", FakeChip("M25P20"), 262144, [&](FakeSpiFlash& f, FakeSerialBox&) { f.failWhen = readOf(77); },
         "Device Read Error", false, true, 30},
        {"last byte differs", FakeChip("TS25L80P"), 262144, [](FakeSpiFlash& f, FakeSerialBox&) { f.flippedByte = 262143; },
         "Device Check Error", true, true, 30},
        {"image larger than the chip", FakeChip("M25P20"), 262145, {}, "Eeprom Image Too Large", true, true, 11},
        {"unplugged in the erase", FakeChip("M25P80"), 262144, [](FakeSpiFlash&, FakeSerialBox& b) { b.UnplugAfterReports(40); },
         "Device Error", false, true, 30},
        {"unplugged in the write", FakeChip("M25P80"), 262144,
         [](FakeSpiFlash&, FakeSerialBox& b) { b.UnplugAfterReports(2000); }, "Device Write Error", false, true,
         30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeBoxSession fresh;
        FakeSpiFlash chip(c.chip);
        chip.Attach(fresh.box);
        if (c.inject) c.inject(chip, fresh.box);
        ScopedImage scoped(Pattern(c.imageSize));
        trace.Clear();
        const uint64_t start = fresh.clock.NowUs();

        EXPECT_EQ(RunEepromJob(), 0);
        EXPECT_EQ(GetEepromError(), c.text);
        EXPECT_EQ(chip.ExitFrames(), c.modeLeft ? 1 : 0);
        EXPECT_EQ(trace.Count("Exit Eeprom Mode.\r\n"), c.exitTried ? 1u : 0u);
        EXPECT_LE(fresh.clock.NowUs() - start, c.maxSeconds * kSecond);
        EXPECT_EQ(chip.Violations(), 0);
        EXPECT_EQ(fresh.box.Violations(), 0);
    }
}

TEST_F(EepromJobRun, ImageTooLargeErasesNothing) {
    Use("M25P40", Pattern(0x80000 + 256));
    EXPECT_EQ(RunEepromJob(), 0);
    EXPECT_EQ(GetEepromError(), "Eeprom Image Too Large");
    EXPECT_TRUE(flash->ErasedSectors().empty());
    EXPECT_EQ(flash->PagePrograms(), 0);

    // An image exactly the size of the chip fills it.
    FakeBoxSession fresh;
    FakeSpiFlash chip(FakeChip("M25P20"));
    chip.Attach(fresh.box);
    ScopedImage whole(Pattern(0x40000));
    ASSERT_EQ(RunEepromJob(), 1);
    EXPECT_EQ(chip.Contents(), whole.Bytes());
    // The failure text of the earlier run stays after a success.
    EXPECT_EQ(GetEepromError(), "Eeprom Image Too Large");
}

TEST_F(EepromJobRun, DifferenceInThePartialTailIsFound) {
    Use("M25P20", Pattern(1000));
    flash->flippedByte = 999;
    EXPECT_EQ(RunEepromJob(), 0);
    EXPECT_EQ(GetEepromError(), "Device Check Error");
}

}  // namespace
