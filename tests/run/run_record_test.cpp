// The run log: the line each run leaves, and where the log lives.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "platform/files.h"
#include "platform/trace.h"
#include "run/run_record.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

// Records are written with designated initializers: the members left out
// keep their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using Outcome = RunStepRecord::Outcome;

TEST(RunRecord, LineSaysWhatEachStepDid) {
    struct Case {
        const char* what;
        RunRecord record;
        const char* line;
    };
    const std::string fpgaSha(64, 'a');
    const std::string eepromSha(64, 'b');
    RunRecord passed{.startTime = 1767225600,
                     .version = "1.0.0",
                     .box = "/dev/hidraw3",
                     .location = "1-2.3",
                     .boxSerial = "VX0001",
                     .fpga = {Outcome::kOk, 83'412'000},
                     .fpgaId = 0x029121CF,
                     .fpgaImageSha256 = fpgaSha,
                     .design = RunDesign{"VEXUDEMO1", 0xBEEF, 3},
                     .eeprom = {Outcome::kOk, 45'100'400},
                     .chip = "M25P20",
                     .eepromImageSha256 = eepromSha,
                     .eepromBytes = 262144,
                     .ok = true};
    RunRecord fpgaFailed{.startTime = 1767225601,
                         .version = "1.0.0",
                         .box = "sim://vexu-box",
                         .location = "sim-1",
                         .boxSerial = "SIM0001",
                         .slot = "sim-1",
                         .fpga = {Outcome::kFailed, 1'500},
                         .fpgaImageSha256 = fpgaSha,
                         .eeprom = {Outcome::kSkipped, 0},
                         .failure = "The IDCODE \"x\" does not match.\r\n\tCheck\\it"};
    RunRecord noChip{.startTime = 1709210096,
                     .version = "1.0.0",
                     .eeprom = {Outcome::kFailed, 10'000'000},
                     .chip = "",
                     .eepromImageSha256 = eepromSha,
                     .eepromBytes = 4096,
                     .failure = " Eeprom Id Error"};
    RunRecord sfdpPart{.startTime = 1767225600,
                       .version = "1.0.0",
                       .eeprom = {Outcome::kOk, 20'000'000},
                       .chip = "SFDP-EF-71-17",
                       .eepromImageSha256 = eepromSha,
                       .eepromBytes = 4096,
                       .flashStatusBefore = 0x1C,
                       .flashStatusAfter = 0x1C,
                       .sfdpChip = true,
                       .ok = true};
    const Case cases[] = {
        {"both steps passed: what went onto the board, from which box", passed,
         R"({"time":"2026-01-01T00:00:00Z","box":"/dev/hidraw3","result":"ok",)"
         R"("fpga":{"result":"ok","seconds":83.412,"id":"0x029121CF","imageSha256":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",)"
         R"("design":{"name":"VEXUDEMO1","checksum":"0xBEEF","cycles":3}},)"
         R"("eeprom":{"result":"ok","seconds":45.100,"chip":"M25P20","bytes":262144,)"
         R"("imageSha256":"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"},"failure":"",)"
         R"("version":"1.0.0","location":"1-2.3","boxSerial":"VX0001"})"},
        {"FPGA failed before its ID was read, serial flash skipped; failure text escaped; a gang slot", fpgaFailed,
         R"({"time":"2026-01-01T00:00:01Z","box":"sim://vexu-box","result":"failed",)"
         R"("fpga":{"result":"failed","seconds":0.002,"id":null,"imageSha256":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",)"
         R"("design":null},"eeprom":{"result":"skipped"},)"
         R"("failure":"The IDCODE \"x\" does not match.\r\n\tCheck\\it","version":"1.0.0","location":"sim-1",)"
         R"("boxSerial":"SIM0001","slot":"sim-1"})"},
        {"FPGA off, no chip found (leap day), no box named", noChip,
         R"({"time":"2024-02-29T12:34:56Z","box":"","result":"failed","fpga":{"result":"off"},)"
         R"("eeprom":{"result":"failed","seconds":10.000,"chip":null,"bytes":4096,)"
         R"("imageSha256":"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"},"failure":" Eeprom Id Error",)"
         R"("version":"1.0.0","location":null,"boxSerial":null})"},
        {"a part known by its SFDP alone, protected before and after", sfdpPart,
         R"({"time":"2026-01-01T00:00:00Z","box":"","result":"ok","fpga":{"result":"off"},)"
         R"("eeprom":{"result":"ok","seconds":20.000,"chip":"SFDP-EF-71-17","bytes":4096,)"
         R"("imageSha256":"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb",)"
         R"("statusBefore":"0x1C","statusAfter":"0x1C","sfdpChip":true},"failure":"",)"
         R"("version":"1.0.0","location":null,"boxSerial":null})"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatRunRecord(c.record), c.line) << c.what;
}

// The journal gets the record as fields a station can be queried by.
TEST(RunRecord, JournalFieldsNameWhatWentOntoTheBoard) {
    RunRecord record{.startTime = 1767225600,
                     .version = "1.0.0",
                     .box = "/dev/hidraw3",
                     .location = "1-2.3",
                     .slot = "1-2.3",
                     .fpga = {Outcome::kOk, 1'000},
                     .fpgaId = 0x029121CF,
                     .fpgaImageSha256 = "f00d",
                     .design = RunDesign{"VEXUDEMO1", 0xBEEF, 3},
                     .eeprom = {Outcome::kFailed, 1'000},
                     .chip = "M25P20",
                     .eepromImageSha256 = "cafe",
                     .eepromBytes = 262144,
                     .flashStatusBefore = 0x04,
                     .flashStatusAfter = 0x00,
                     .failure = "Device Check Error",
                     .serialNumber = "VX00000042"};
    std::map<std::string, std::string> fields;
    for (const auto& [name, value] : RunJournalFields(record)) {
        EXPECT_TRUE(fields.emplace(name, value).second) << name << " twice";
    }
    const std::map<std::string, std::string> expected = {
        {"MESSAGE", "run failed in slot 1-2.3 on /dev/hidraw3: Device Check Error"},
        {"PRIORITY", "3"},
        {"SYSLOG_IDENTIFIER", "vexu-programmer"},
        {"VEXU_RESULT", "failed"},
        {"VEXU_VERSION", "1.0.0"},
        {"VEXU_BOX", "/dev/hidraw3"},
        {"VEXU_LOCATION", "1-2.3"},
        {"VEXU_SLOT", "1-2.3"},
        {"VEXU_FPGA_RESULT", "ok"},
        {"VEXU_FPGA_ID", "0x029121CF"},
        {"VEXU_FPGA_IMAGE_SHA256", "f00d"},
        {"VEXU_DESIGN_NAME", "VEXUDEMO1"},
        {"VEXU_DESIGN_CHECKSUM", "0xBEEF"},
        {"VEXU_DESIGN_CYCLES", "3"},
        {"VEXU_EEPROM_RESULT", "failed"},
        {"VEXU_EEPROM_CHIP", "M25P20"},
        {"VEXU_EEPROM_BYTES", "262144"},
        {"VEXU_EEPROM_IMAGE_SHA256", "cafe"},
        {"VEXU_EEPROM_STATUS_BEFORE", "0x04"},
        {"VEXU_EEPROM_STATUS_AFTER", "0x00"},
        {"VEXU_SERIAL_NUMBER", "VX00000042"},
        {"VEXU_FAILURE", "Device Check Error"},
        {"VEXU_RECORD", FormatRunRecord(record)},
    };
    EXPECT_EQ(fields, expected);
}

using vexu::test::ScopedEnv;

#ifdef _WIN32
constexpr const char* kStateDirectoryVariable = "LOCALAPPDATA";

// %LOCALAPPDATA%, else the profile's AppData\Local.
TEST(RunRecord, LogLivesInTheUserStateDirectory) {
    struct Case {
        const char* local;
        const char* profile;
        const char* path;
    };
    const Case cases[] = {
        {"C:\\Users\\op\\AppData\\Local", "C:\\Users\\op", "C:\\Users\\op\\AppData\\Local\\vexu-programmer\\runs.log"},
        {"D:\\station", "C:\\Users\\op", "D:\\station\\vexu-programmer\\runs.log"},
        {nullptr, "C:\\Users\\op", "C:\\Users\\op\\AppData\\Local\\vexu-programmer\\runs.log"},
    };
    for (const Case& c : cases) {
        ScopedEnv local("LOCALAPPDATA", c.local);
        ScopedEnv profile("USERPROFILE", c.profile);
        EXPECT_EQ(RunLogPath(), c.path) << (c.local ? c.local : "(unset)");
    }
}

// A user's directory with characters outside the ANSI code page.
TEST(RunRecord, LogPathKeepsEveryCharacterOfTheDirectory) {
    vexu::test::TempDir dir;
    const std::filesystem::path user = dir.Path() / std::filesystem::path(u8"\u5F20\u4E09");
    ASSERT_TRUE(std::filesystem::create_directory(user));
    ScopedEnv local("LOCALAPPDATA", nullptr);
    ASSERT_EQ(_wputenv_s(L"LOCALAPPDATA", user.c_str()), 0);
    RunRecord record;
    record.ok = true;
    EXPECT_TRUE(AppendRunRecord(record));
    EXPECT_TRUE(std::filesystem::exists(user / "vexu-programmer" / "runs.log"));
    EXPECT_EQ(RunLogPath(), vexu::PathText(user / "vexu-programmer" / "runs.log"));
}
#else
constexpr const char* kStateDirectoryVariable = "XDG_STATE_HOME";

TEST(RunRecord, LogLivesInTheUserStateDirectory) {
    struct Case {
        const char* state;
        const char* home;
        const char* path;
    };
    const Case cases[] = {
        {"/var/lib/station", "/home/op", "/var/lib/station/vexu-programmer/runs.log"},
        {nullptr, "/home/op", "/home/op/.local/state/vexu-programmer/runs.log"},
        {"relative/dir", "/home/op", "/home/op/.local/state/vexu-programmer/runs.log"},  // not absolute: ignored
        {"", "/home/op", "/home/op/.local/state/vexu-programmer/runs.log"},
    };
    for (const Case& c : cases) {
        ScopedEnv state("XDG_STATE_HOME", c.state);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(RunLogPath(), c.path) << (c.state ? c.state : "(unset)");
    }
}
#endif

TEST(RunRecord, AppendsOneLinePerRunAndCreatesTheDirectory) {
    vexu::test::TempDir dir;
    ScopedEnv state(kStateDirectoryVariable, dir.Path().string().c_str());
    RunRecord record;
    record.ok = true;
    EXPECT_TRUE(AppendRunRecord(record));
    record.ok = false;
    record.failure = "Device Check Error";
    EXPECT_TRUE(AppendRunRecord(record));
    const auto lines = vexu::test::ReadLines(dir.File("vexu-programmer/runs.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(R"("result":"ok")"), std::string::npos);
    EXPECT_EQ(lines[1], FormatRunRecord(record));
}

TEST(RunRecord, UnwritableLogCostsATraceLineOnly) {
    vexu::test::TempDir dir;
    std::ofstream(dir.File("file")) << "x";
    SetRunLogPath(dir.File("file") + "/runs.log");  // its directory is a file
    vexu::TraceCapture trace;
    EXPECT_FALSE(AppendRunRecord(RunRecord{}));
    SetRunLogPath("");
    EXPECT_TRUE(trace.Contains("cannot be written"));
}

}  // namespace
