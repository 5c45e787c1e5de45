// vexu-cli settings with texts of both encodings: a record written on
// Windows (GBK texts) is shown as its characters, "settings set" writes
// UTF-8 and refuses bytes that are not.
#include <gtest/gtest.h>

#include <fstream>

#include "cli_process.h"
#include "support/temp_dir.h"

namespace vexu::test {
namespace {

CliOutcome Cli(const TempDir& dir, std::vector<std::string> args) {
    CliRun run;
    run.args = std::move(args);
    run.directory = dir.Path().string();
    run.stateHome = dir.File("state");
    return RunCliProcess(run);
}

constexpr size_t kTitleOffset = 116;
constexpr size_t kFpgaCaptionOffset = 372;

// The line "settings show" prints for a field.
std::string ShownLine(const CliOutcome& show, const std::string& field) {
    for (const std::string& line : show.out)
        if (line.rfind(field + " ", 0) == 0) return line;
    return {};
}

TEST(CliSettings, GbkTextsAreShownAsTheirCharactersAndSetWritesUtf8) {
    TempDir dir;
    ASSERT_EQ(Cli(dir, {"settings", "write", "AppSetting.bin"}).exit, 0);
    // The title as a record made on Windows holds it.
    std::string record = Contents(dir.File("AppSetting.bin"));
    ASSERT_EQ(record.size(), 1404u);
    const std::string gbkTitle = "\xBF\xC6\xCC\xD8\xC8\xF0\xCB\xAB\xD0\xBE\xC6\xAC\xB1\xE0\xB3\xCC\xC6\xF7";
    record.replace(kTitleOffset, gbkTitle.size() + 1, gbkTitle + '\0');
    std::ofstream(dir.File("AppSetting.bin"), std::ios::binary) << record;

    const CliOutcome show = Cli(dir, {"settings", "show", "AppSetting.bin"});
    ASSERT_EQ(show.exit, 0) << show.err;
    const std::string title = ShownLine(show, "title");
    const std::string shown = " 116  科特瑞双芯片编程器";
    ASSERT_GE(title.size(), shown.size()) << title;
    EXPECT_EQ(title.substr(title.size() - shown.size()), shown) << title;

    struct Case {
        std::string value;
        int exit;
        std::string stored;  // at the caption's offset afterwards
    };
    const Case cases[] = {
        {"FPGA 芯片", 0, "FPGA \xE8\x8A\xAF\xE7\x89\x87"},
        {"FPGA \xD0\xCD\xBA\xC5", 2, "FPGA \xE8\x8A\xAF\xE7\x89\x87"},  // GBK bytes: refused, record unchanged
        {"caf\xE9", 2, "FPGA \xE8\x8A\xAF\xE7\x89\x87"},
        {"FPGA CHIP", 0, "FPGA CHIP"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const CliOutcome set = Cli(dir, {"settings", "set", "AppSetting.bin", "fpgaCaption", c.value});
        EXPECT_EQ(set.exit, c.exit) << set.err;
        if (c.exit != 0) {
            EXPECT_NE(set.err.find("fpgaCaption takes UTF-8 text"), std::string::npos) << set.err;
        }
        const std::string after = Contents(dir.File("AppSetting.bin"));
        EXPECT_EQ(after.substr(kFpgaCaptionOffset, c.stored.size() + 1), c.stored + '\0');
        EXPECT_EQ(after.substr(kTitleOffset, gbkTitle.size()), gbkTitle) << "the other texts keep their bytes";
    }
}

// A stored part flag other than 0 and 1 is off for every program; showing
// the record says so beside the value.
TEST(CliSettings, APartFlagOtherThanZeroOrOneIsShownAsOff) {
    TempDir dir;
    ASSERT_EQ(Cli(dir, {"settings", "write", "AppSetting.bin"}).exit, 0);
    std::string record = Contents(dir.File("AppSetting.bin"));
    ASSERT_EQ(record.size(), 1404u);
    record.replace(1396, 4, std::string("\x02\0\0\0", 4));  // showFpga
    std::ofstream(dir.File("AppSetting.bin"), std::ios::binary) << record;

    const CliOutcome show = Cli(dir, {"settings", "show", "AppSetting.bin"});
    ASSERT_EQ(show.exit, 0) << show.err;
    const std::string flagged = "1396  2  (not 0 or 1: the part is off)";
    const std::string fpga = ShownLine(show, "showFpga");
    ASSERT_GE(fpga.size(), flagged.size()) << fpga;
    EXPECT_EQ(fpga.substr(fpga.size() - flagged.size()), flagged);
    const std::string eeprom = ShownLine(show, "showEeprom");
    EXPECT_EQ(eeprom.substr(eeprom.size() - 7), "1400  1") << eeprom;
}

}  // namespace
}  // namespace vexu::test
