// Scenario texts: parsing, typed keys, keys left over, and what the simulator
// builds from them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/clock.h"
#include "sim/scenario.h"
#include "sim/simulator.h"
#include "sim/spi_flash.h"

namespace vexu::sim {
namespace {

TEST(Scenario, ParsesKeysValuesAndFlags) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(Scenario::Parse(" flash = M25P40 ,realtime,latency-us=0x10,empty=", s, error)) << error;
    EXPECT_EQ(s.Take("flash"), "M25P40");
    bool realtime = false;
    EXPECT_TRUE(s.TakeFlag("realtime", realtime, error));
    EXPECT_TRUE(realtime);
    uint64_t latency = 0;
    EXPECT_TRUE(s.TakeUnsigned("latency-us", 1000, latency, error));
    EXPECT_EQ(latency, 16u);
    EXPECT_EQ(s.LeftoverError(), "unknown scenario key: empty");
    EXPECT_EQ(s.Take("empty"), "");
    EXPECT_EQ(s.LeftoverError(), "");
    EXPECT_EQ(s.Take("absent"), std::nullopt);
}

TEST(Scenario, RejectsMalformedTexts) {
    const struct {
        const char* text;
        const char* error;
    } kCases[] = {
        {"a,,b", "empty item"},
        {"a,", "empty item"},
        {"=5", "has no key"},
        {"flash=M25P20,flash=M25P40", "given twice"},
    };
    for (const auto& c : kCases) {
        Scenario s;
        std::string error;
        EXPECT_FALSE(Scenario::Parse(c.text, s, error)) << c.text;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
    }
    Scenario empty;
    std::string error;
    EXPECT_TRUE(Scenario::Parse("  ", empty, error));
    EXPECT_TRUE(empty.Leftover().empty());
}

TEST(Scenario, NumbersAreCheckedForFormAndRange) {
    const struct {
        const char* text;
        bool ok;
        uint64_t value;
    } kCases[] = {
        {"n=0", true, 0},           {"n=4294967295", true, 4294967295u}, {"n=0xFFFFFFFF", true, 0xFFFFFFFF},
        {"n=0x", false, 0},         {"n=4294967296", false, 0},          {"n=12a", false, 0},
        {"n=-1", false, 0},         {"n", false, 0},                     {"n=99999999999999999999", false, 0},
    };
    for (const auto& c : kCases) {
        Scenario s;
        std::string error;
        ASSERT_TRUE(Scenario::Parse(c.text, s, error));
        uint64_t value = 7;
        EXPECT_EQ(s.TakeUnsigned("n", 0xFFFFFFFF, value, error), c.ok) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : 7) << c.text;
        if (!c.ok) {
            EXPECT_NE(error.find("\"n\""), std::string::npos) << error;
        }
    }
}

TEST(Simulator, BuildsWhatTheScenarioAsksFor) {
    VirtualClock clock;
    ScopedClock scoped(clock);
    std::string error;
    SimulatorOptions options;
    auto sim = MakeSimulator("flash=M25P80,flash-fill=0x00,flash-stuck-busy,realtime,latency-us=5", error, &options);
    ASSERT_TRUE(sim) << error;
    EXPECT_TRUE(options.realtime);
    auto* flash = dynamic_cast<SpiFlash*>(sim->Box().Spi());
    ASSERT_NE(flash, nullptr);
    EXPECT_STREQ(flash->Chip().name, "M25P80");
    EXPECT_EQ(flash->Contents()[0xFFFFF], 0x00);

    sim = MakeSimulator("flash=none", error);
    ASSERT_TRUE(sim) << error;
    EXPECT_EQ(sim->Box().Spi(), nullptr);
}

TEST(Simulator, InitialFlashContentsFromAFile) {
    VirtualClock clock;
    ScopedClock scoped(clock);
    const std::string path = testing::TempDir() + "/sim_flash_image.bin";
    {
        std::ofstream file(path, std::ios::binary);
        file << "VEXU";
    }
    std::string error;
    auto sim = MakeSimulator("flash=M25P20,flash-image=" + path, error);
    ASSERT_TRUE(sim) << error;
    const auto& memory = static_cast<SpiFlash*>(sim->Box().Spi())->Contents();
    EXPECT_EQ(std::string(memory.begin(), memory.begin() + 4), "VEXU");
    EXPECT_EQ(memory[4], 0xFF);
    std::remove(path.c_str());
}

TEST(Simulator, RefusesScenariosItCannotBuild) {
    const struct {
        const char* text;
        const char* error;
    } kCases[] = {
        {"flsh=M25P20", "unknown scenario key: flsh"},
        {"speed=9,color", "unknown scenario keys: speed, color"},
        {"flash=M25P99", "unknown flash chip"},
        {"flash=W25Q64JV,flash-sfdp=M25P16", "flash-sfdp needs a part of the chip table that has an SFDP table"},
        {"flash", "needs a value"},
        {"flash-fill=256", "flash-fill"},
        {"flash-bit-error-page=1024",
         "scenario key \"flash-bit-error-page\" needs a number from 0 to 1023, not \"1024\""},
        {"flash=M25P40,flash-erase-fail-page=2048",
         "scenario key \"flash-erase-fail-page\" needs a number from 0 to 2047, not \"2048\""},
        {"flash-image=/nonexistent/image.bin", "cannot open the M25P20 flash image /nonexistent/image.bin"},
        {"flash-image=/tmp", "the M25P20 flash image /tmp is not a regular file (a directory)"},
        {"flash-image=/dev/zero", "the M25P20 flash image /dev/zero is not a regular file (a character device)"},
        {"fail-report=0", "scenario key \"fail-report\" needs a number from 1 to 4294967295, not \"0\""},
        {"station-boxes=0", "scenario key \"station-boxes\" needs a number from 1 to 1000000, not \"0\""},
        // Faults on rows and pages the device does not have.
        {"verify-fail-row=1244", "scenario key \"verify-fail-row\" needs a number from 0 to 1243, not \"1244\""},
        {"idcode=0x032141CF,auth-fail-row=2300",
         "scenario key \"auth-fail-row\" needs a number from 0 to 2299, not \"2300\""},
        {"rows=10,verify-fail-row=10", "scenario key \"verify-fail-row\" needs a number from 0 to 9, not \"10\""},
        {"flashrom-compare-fail=8", "scenario key \"flashrom-compare-fail\" needs a number from 0 to 7, not \"8\""},
        {"rows=0", "scenario key \"rows\" needs a number from 1 to 100000, not \"0\""},
        {"jtag=fpga9", "unknown JTAG device model"},
        {"idcode=0x100000000", "idcode"},
        {"other-hid=0x1234", "VID:PID"},
        {"realtime=yes", "flag"},
        {"open-refusals=-1", "open-refusals"},
        {"flash-program-polls=x", "flash-program-polls"},
        {"allow-unused-states=2", "flag"},
    };
    VirtualClock clock;
    ScopedClock scoped(clock);
    for (const auto& c : kCases) {
        std::string error;
        EXPECT_EQ(MakeSimulator(c.text, error), nullptr) << c.text;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
    }
}

// A flash image the chip cannot hold is refused before a byte of it is read:
// a sparse 2 GB file costs no time and no memory.
TEST(Simulator, RefusesAFlashImageLargerThanTheChipBeforeReadingIt) {
    const std::string path = (std::filesystem::temp_directory_path() / "vexu-sparse-flash-image.bin").string();
    {
        std::ofstream create(path, std::ios::binary);
    }
    std::filesystem::resize_file(path, uint64_t{2} << 30);
    std::string error;
    VirtualClock clock;
    ScopedClock scoped(clock);
    EXPECT_EQ(MakeSimulator("flash=M25P40,flash-image=" + path, error), nullptr);
    EXPECT_EQ(error, "the M25P40 flash image " + path + " has 2147483648 bytes, more than the largest M25P40 flash "
                     "image (524288 bytes)");
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace vexu::sim
