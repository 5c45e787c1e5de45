// The run log: the line each run leaves, and where the log lives.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/files.h"
#include "platform/trace.h"
#include "run/run_record.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

using Outcome = RunStepRecord::Outcome;

TEST(RunRecord, LineSaysWhatEachStepDid) {
    struct Case {
        const char* what;
        RunRecord record;
        const char* line;
    };
    RunRecord passed{1767225600, "/dev/hidraw3", {Outcome::kOk, 83'412'000}, 0x029121CF,
                     {Outcome::kOk, 45'100'400}, "M25P20", true, ""};
    RunRecord fpgaFailed{1767225601, "sim://vexu-box", {Outcome::kFailed, 1'500}, 0x02A121CF,
                         {Outcome::kSkipped, 0}, std::nullopt, false,
                         "The IDCODE \"x\" does not match.\r\n\tCheck\\it"};
    RunRecord noChip{1709210096, "", {Outcome::kOff, 0}, std::nullopt, {Outcome::kFailed, 10'000'000}, "", false,
                     " Eeprom Id Error"};
    const Case cases[] = {
        {"both steps passed", passed,
         R"({"time":"2026-01-01T00:00:00Z","box":"/dev/hidraw3","result":"ok",)"
         R"("fpga":{"result":"ok","seconds":83.412,"id":"0x029121CF"},)"
         R"("eeprom":{"result":"ok","seconds":45.100,"chip":"M25P20"},"failure":""})"},
        {"FPGA failed, serial flash skipped; failure text escaped", fpgaFailed,
         R"({"time":"2026-01-01T00:00:01Z","box":"sim://vexu-box","result":"failed",)"
         R"("fpga":{"result":"failed","seconds":0.002,"id":"0x02A121CF"},"eeprom":{"result":"skipped"},)"
         R"("failure":"The IDCODE \"x\" does not match.\r\n\tCheck\\it"})"},
        {"FPGA off, no chip found (leap day)", noChip,
         R"({"time":"2024-02-29T12:34:56Z","box":"","result":"failed","fpga":{"result":"off"},)"
         R"("eeprom":{"result":"failed","seconds":10.000,"chip":null},"failure":" Eeprom Id Error"})"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatRunRecord(c.record), c.line) << c.what;
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
