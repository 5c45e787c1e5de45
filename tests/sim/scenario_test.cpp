// Scenario texts: parsing, typed keys, keys left over, and what the simulator
// builds from them.
#include <gtest/gtest.h>

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
        {"flash=M25P16", "unknown flash chip"},
        {"flash", "needs a value"},
        {"flash-fill=256", "flash-fill"},
        {"flash-bit-error-page=1024", "beyond the M25P20"},
        {"flash-image=/nonexistent/image.bin", "cannot read"},
        {"fail-report=0", "counts from 1"},
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

}  // namespace
}  // namespace vexu::sim
