// vexu-cli used carelessly or with hostile files: an output that is the
// same file as something the command reads or keeps (however the path is
// spelt), a target that is no regular file, stored texts that would drive
// the terminal, and the --json result line in every case.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "cli_process.h"
#include "support/temp_dir.h"

namespace vexu::test {
namespace {

namespace fs = std::filesystem;

CliOutcome Cli(const TempDir& dir, std::vector<std::string> args) {
    CliRun run;
    run.args = std::move(args);
    run.directory = dir.Path().string();
    run.stateHome = dir.File("state");
    return RunCliProcess(run);
}

// Each command is refused (exit 2) before it opens anything, naming both
// roles, and the file it would have written over keeps its bytes.
TEST(CliHostile, OutputsNeverWriteOverInputsOrState) {
    struct Case {
        const char* name;
        std::vector<std::string> args;  // "@" stands for the test's directory
        const char* kept;               // the file that must keep its bytes
        const char* error;
    };
    const Case cases[] = {
        {"report log over the serial-flash image by a hard link",
         {"--simulate", "--report-log", "@/hard.bin", "--eeprom-image", "@/image.bin", "run", "--no-fpga"},
         "image.bin", "the report log @/hard.bin is the same file as the serial-flash image @/image.bin"},
        {"report log over the serial file by a symbolic link",
         {"--simulate", "--report-log", "@/sym.txt", "run", "--no-fpga", "--serial-at", "0", "--serial-file",
          "@/serials.txt"},
         "serials.txt", "is the same file as the serial file"},
        {"report log over the run log through ..",
         {"--simulate", "--report-log", "@/state/vexu-programmer/../vexu-programmer/runs.log", "run", "--no-fpga"},
         "state/vexu-programmer/runs.log", "is the same file as the run log"},
        {"report log over the serial state",
         {"--simulate", "--report-log", "@/state/vexu-programmer/serials.state", "run", "--no-fpga", "--serial-at",
          "0", "--serial-format", "S%u"},
         "state/vexu-programmer/serials.state", "is the same file as the serial-number state file"},
        {"flash read over the serial-flash image",
         {"--simulate", "--eeprom-image", "@/image.bin", "flash", "read", "-o", "@/hard.bin"},
         "image.bin", "the flash read output @/hard.bin is the same file as the serial-flash image"},
        {"report log over the file to verify against",
         {"--simulate", "--report-log", "@/sym.bin", "flash", "verify", "@/image.bin"},
         "image.bin", "is the same file as the file to verify against"},
        {"scramble in place", {"image", "scramble", "@/image.bin", "@/sub/../hard.bin"}, "image.bin",
         "the stored image @/sub/../hard.bin is the same file as the plain image @/image.bin"},
        {"a FIFO as the report log", {"--simulate", "--report-log", "@/fifo", "list"}, nullptr,
         "the report log @/fifo is not a regular file (a FIFO)"},
        {"a device as the settings record", {"settings", "write", "/dev/null"}, nullptr,
         "the settings record /dev/null is not a regular file (a device)"},
        {"a link to a FIFO as the flash read output", {"--simulate", "flash", "read", "-o", "@/fifolink"}, nullptr,
         "is not a regular file (a FIFO)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string at = dir.Path().string();
        auto expand = [&at](std::string text) {
            for (size_t p; (p = text.find('@')) != std::string::npos;) text.replace(p, 1, at);
            return text;
        };
        Put(dir.File("image.bin"), std::string(4096, '\x5A'));
        Put(dir.File("serials.txt"), "S1\nS2\n");
        fs::create_directories(dir.File("sub"));
        fs::create_directories(dir.File("state/vexu-programmer"));
        Put(dir.File("state/vexu-programmer/runs.log"), "{\"kept\":true}\n");
        Put(dir.File("state/vexu-programmer/serials.state"), "vexu-programmer serials 1\nnext counter 5\n");
        fs::create_hard_link(dir.File("image.bin"), dir.File("hard.bin"));
        fs::create_symlink(dir.File("serials.txt"), dir.File("sym.txt"));
        fs::create_symlink(dir.File("image.bin"), dir.File("sym.bin"));
        ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
        fs::create_symlink(dir.File("fifo"), dir.File("fifolink"));
        const std::string before = c.kept ? Contents(dir.File(c.kept)) : "";
        std::vector<std::string> args = {"--json"};
        for (const std::string& arg : c.args) args.push_back(expand(arg));
        const CliOutcome run = Cli(dir, args);
        EXPECT_EQ(run.exit, 2) << run.err;
        EXPECT_NE(run.err.find(expand(c.error)), std::string::npos) << run.err;
        ASSERT_FALSE(run.out.empty());
        EXPECT_EQ(Parsed(run.out.back())["event"].text, "result");
        if (c.kept) {
            EXPECT_EQ(Contents(dir.File(c.kept)), before);
        }
        EXPECT_EQ(fs::status(dir.File("fifo")).type(), fs::file_type::fifo);
    }
}

// Texts in a settings record reach terminals and windows: "settings set"
// takes none with control characters or flags other than 0 and 1, and
// "settings show" shows a stored one escaped, a stored flag other than 0
// or 1 with a warning.
TEST(CliHostile, StoredTextsAreShownSafely) {
    TempDir dir;
    ASSERT_EQ(Cli(dir, {"settings", "write", "AppSetting.bin"}).exit, 0);
    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{"title", "\x1B]0;owned\x07"}, "title takes text without control characters"},
        {{"fpgaCaption", "ok\nFAIL"}, "without control characters"},
        {{"fpgaCaption", "\xC2\x9B" "2J"}, "without control characters"},
        {{"showFpga", "2"}, "showFpga is 0 or 1"},
    };
    const std::string record = Contents(dir.File("AppSetting.bin"));
    for (const auto& [fieldValue, error] : refused) {
        SCOPED_TRACE(fieldValue[1]);
        const CliOutcome set = Cli(dir, {"settings", "set", "AppSetting.bin", fieldValue[0], fieldValue[1]});
        EXPECT_EQ(set.exit, 2);
        EXPECT_NE(set.err.find(error), std::string::npos) << set.err;
        EXPECT_EQ(set.err.find('\x1B'), std::string::npos) << "the refusal itself is escaped";
        EXPECT_EQ(Contents(dir.File("AppSetting.bin")), record);
    }
    // A record made elsewhere: a title that sets the terminal's title and a
    // flag of 7.
    std::string hostile = record;
    const std::string title = "\x1B]0;owned\x07\r\nshowFpga 1";
    hostile.replace(116, title.size() + 1, title + '\0');
    hostile[1396] = 7;
    Put(dir.File("AppSetting.bin"), hostile);
    const CliOutcome show = Cli(dir, {"settings", "show", "AppSetting.bin"});
    EXPECT_EQ(show.exit, 0) << show.err;
    const std::string out = JoinedLines(show.out);
    EXPECT_EQ(out.find('\x1B'), std::string::npos) << out;
    EXPECT_EQ(out.find('\r'), std::string::npos) << out;
    EXPECT_NE(out.find("\\x1B]0;owned\\x07\\x0D\\x0AshowFpga 1"), std::string::npos) << out;
    EXPECT_NE(show.err.find("warning: showFpga holds 7, not 0 or 1"), std::string::npos) << show.err;
}

// Every way of being refused still ends --json output with its result line.
TEST(CliHostile, JsonAlwaysEndsWithAResultLine) {
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* error;
    };
    const Case cases[] = {
        {{"--json", "--box", "", "list"}, 2, "--box needs the path of a box"},
        {{"--json", "image", "info", "missing.dat"}, 2, "cannot open the FPGA data image"},
        {{"--json", "--simulate=boxes=2,fault-box=3", "list"}, 2, "fault-box=3 names a box that does not exist (2 boxes)"},
        {{"--json", "--simulate=fault-box=2", "list"}, 2, "fault-box=2 names a box that does not exist (1 box)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        TempDir dir;
        const CliOutcome run = Cli(dir, c.args);
        EXPECT_EQ(run.exit, c.exit) << run.err;
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        ASSERT_FALSE(run.out.empty());
        const JsonValue result = Parsed(run.out.back());
        EXPECT_EQ(result["event"].text, "result");
        EXPECT_EQ(result["exit"].number, c.exit);
    }
}

// A station whose box is held by another program says why while it waits,
// and a stop still ends it.
TEST(CliHostile, AStationSaysWhyItWaitsForABusyBox) {
    TempDir dir;
    CliRun run;
    run.args = {"--simulate=refuse-open=in-use", "--json", "run", "--station", "--no-fpga"};
    run.directory = dir.Path().string();
    run.stateHome = dir.File("state");
    int waiting = 0;
    run.onLine = [&waiting](const std::string& line, pid_t station) {
        const JsonValue event = Parsed(line);
        if (event["state"].text != "waiting" || !event.Has("reason")) return;
        EXPECT_NE(event["reason"].text.find("is in use by another program"), std::string::npos) << line;
        if (++waiting == 1) kill(station, SIGTERM);
    };
    const CliOutcome outcome = RunCliProcess(run);
    EXPECT_EQ(waiting, 1);
    EXPECT_EQ(Parsed(outcome.out.back())["event"].text, "summary") << outcome.err;
}

}  // namespace
}  // namespace vexu::test
