// Scenario keys: what each sets, which values are refused, and that keys
// of other owners stay in the map.
#include <gtest/gtest.h>

#include <set>

#include "sim/fpga_model.h"
#include "sim/fpga_scenario.h"

namespace vexu::sim {
namespace {

Scenario Parsed(const std::string& text) {
    Scenario scenario;
    std::string error;
    EXPECT_TRUE(Scenario::Parse(text, scenario, error)) << error;
    return scenario;
}

TEST(FpgaScenario, DefaultIsTheDemoDevice) {
    FpgaScenario scenario;
    EXPECT_EQ(scenario.idcode, 0x029121CFu);
    EXPECT_EQ(scenario.geometry.arrayRowCount, 1244u);
    EXPECT_EQ(scenario.geometry.rowWidthFactor, 2);
    EXPECT_EQ(scenario.geometry.deviceClass, 1);
    EXPECT_EQ(scenario.geometry.boundaryScanLength, 372u);
}

TEST(FpgaScenario, EveryTableRowIsFoundByItsOwnIdAndIdBitsOutsideTheMaskDoNotMatter) {
    for (const DeviceIdRow& row : kDeviceIdTable) {
        const DeviceIdRow* found = FindFpgaGeometry(row.value);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->value, row.value);
        const uint32_t outside = ~row.mask & 0xF0000000u;
        if (outside) {
            EXPECT_EQ(FindFpgaGeometry(row.value | outside)->value, row.value);
        }
    }
    EXPECT_EQ(FindFpgaGeometry(0x12345678), nullptr);
}

TEST(FpgaScenario, KeysSetTheScenarioAndLeaveOtherOwnersKeys) {
    // rows comes before idcode and still overrides the geometry idcode selects.
    Scenario keys = Parsed(
        "rows=16,idcode=0x0353A1CF,variant=m7,security=0x1F3000,silsig=0xCAFE0001,"
        "pass-key=000102030405060708090a0b0c0d0e0f,flashrom=AABB,never-ready,verify-fail-row=7,"
        "verify-fail-pass=1,flashrom-compare-fail,mode-refused=status,erase-us=123,flash=M25P40,"
        "latency-us=0");
    FpgaScenario s;
    std::string error;
    ASSERT_TRUE(TakeFpgaScenario(keys, s, error)) << error;
    EXPECT_EQ(keys.Leftover(), (std::vector<std::string>{"flash", "latency-us"}));
    EXPECT_EQ(s.idcode, 0x0353A1CFu);
    EXPECT_EQ(s.geometry.deviceClass, 2);
    EXPECT_EQ(s.geometry.rowWidthFactor, 10);
    EXPECT_EQ(s.geometry.arrayRowCount, 16u);
    EXPECT_EQ(s.variant, FpgaVariant::M7);
    EXPECT_EQ(s.securityWord, 0x1F3000u);
    EXPECT_EQ(s.siliconSignature, 0xCAFE0001u);
    EXPECT_EQ(s.passKey[15], 0x0F);
    EXPECT_EQ(s.flashRom[0], 0xAA);
    EXPECT_EQ(s.flashRom[1], 0xBB);
    EXPECT_EQ(s.flashRom[2], 0xFF);
    EXPECT_TRUE(s.faults.neverReady);
    EXPECT_EQ(s.faults.verifyFailRow, 7);
    EXPECT_EQ(s.faults.verifyFailPass, 1);
    EXPECT_EQ(s.faults.flashRomCompareFailPage, 8);
    EXPECT_EQ(s.faults.modeRefused, ModeRefusal::Status);
    EXPECT_EQ(s.times.eraseUs, 123u);

    FpgaModel model(s);
    EXPECT_EQ(model.SecurityLockWord(), 0x1F3000u);
    EXPECT_EQ(model.SiliconSignature(), 0xCAFE0001u);
}

TEST(FpgaScenario, BadValuesAreRefusedWithTheKeyNamed) {
    const std::string bad[] = {
        "idcode=0x100000000", "idcode=-1", "idcode=12x", "device-class=3", "device-class=0",
        "rows=0", "variant=m9", "security=0x1000000", "pass-key=0011",
        "aes-key=" + std::string(32, 'g'), "flashrom=" + std::string(258, 'A'), "urow=ABC",
        "mode-refused=yes", "mode-refused", "never-ready=maybe", "verify-fail-pass=2",
        "flashrom-compare-fail=8", "nvm-frame-refused=0", "nvm-blocks=5", "erase-us=x",
        "program-polls=0", "erase-polls=0x100000000", "nvm-read-polls", "counted-op=0",
    };
    for (const std::string& item : bad) {
        Scenario keys = Parsed(item);
        FpgaScenario s;
        std::string error;
        EXPECT_FALSE(TakeFpgaScenario(keys, s, error)) << item;
        const std::string key = item.substr(0, item.find('='));
        EXPECT_NE(error.find("\"" + key + "\""), std::string::npos) << error;
    }
}

TEST(FpgaScenario, HelpNamesEveryKeyOnce) {
    std::set<std::string> names;
    for (const ScenarioKeyHelp& line : FpgaScenarioKeyHelp()) {
        const std::string key = line.key;
        EXPECT_TRUE(names.insert(key.substr(0, key.find_first_of("=["))).second) << line.key;
        EXPECT_GT(std::string(line.help).size(), 10u);
    }
    for (const char* key : {"idcode", "device-class", "security", "pass-key", "aes-key", "variant",
                            "never-ready", "verify-fail-row", "aes-silent", "nvm-frame-refused"}) {
        EXPECT_EQ(names.count(key), 1u) << key;
    }
}

}  // namespace
}  // namespace vexu::sim
