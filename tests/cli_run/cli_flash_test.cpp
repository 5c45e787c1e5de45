// vexu-cli flash id, read, verify and erase as processes against the
// simulated chips and their faults: exit status, what a person reads, the
// JSON result, the file read, and what the board holds afterwards (the
// simulated flash as the command left it).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "cli_process.h"
#include "embedded_resource_files.h"
#include "platform/json_reader.h"
#include "support/temp_dir.h"

namespace vexu::test {
namespace {

namespace fs = std::filesystem;

// A board's contents that no two pages share.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + (i >> 8)) ^ 0x5A);
    return bytes;
}

// The command with --json; the board's flash is saved to board.bin.
CliOutcome Flash(const TempDir& dir, const std::string& simulate, std::vector<std::string> args) {
    CliRun run;
    run.args = {"--simulate=flash-save=" + dir.File("board.bin") + (simulate.empty() ? "" : "," + simulate), "--json",
                "flash"};
    run.args.insert(run.args.end(), args.begin(), args.end());
    run.directory = dir.Path().string();
    run.stateHome = dir.File("state");
    return RunCliProcess(run);
}

// The serial-flash bar of a command: the percents in order.
std::vector<int> Progress(const CliOutcome& run) {
    std::vector<int> percents;
    for (const std::string& line : run.out) {
        const JsonValue event = Parsed(line);
        if (event["event"].text == "progress") {
            EXPECT_EQ(event["part"].text, "eeprom");
            percents.push_back(static_cast<int>(event["percent"].number));
        }
    }
    return percents;
}

void ExpectClimbsTo100(const std::vector<int>& percents, size_t leastSteps = 10) {
    ASSERT_FALSE(percents.empty());
    for (size_t i = 1; i < percents.size(); ++i) EXPECT_GT(percents[i], percents[i - 1]);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_GE(percents.size(), leastSteps) << "the bar moves while the work goes on";
}


TEST(CliFlash, IdNamesEveryChipWithItsFamilyAndSize) {
    struct Case {
        const char* chip;
        const char* family;
        int bytes;
        int pages;
        int sectors;
    };
    const Case cases[] = {
        {"M25P20", "ST", 262144, 1024, 4},
        {"M25P40", "ST", 524288, 2048, 8},
        {"M25P80", "ST", 1048576, 4096, 16},
        {"TS25L80P", "TSI", 1048576, 4096, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chip);
        TempDir dir;
        const CliOutcome run = Flash(dir, std::string("flash=") + c.chip, {"id"});
        ASSERT_EQ(run.exit, 0) << run.err;
        const JsonValue result = Parsed(run.out.back());
        EXPECT_EQ(result["command"].text, "flash id");
        EXPECT_EQ(result["chip"].text, c.chip);
        EXPECT_EQ(result["family"].text, c.family);
        EXPECT_EQ(result["bytes"].number, c.bytes);
        EXPECT_EQ(result["pageSize"].number, 256);
        EXPECT_EQ(result["pages"].number, c.pages);
        EXPECT_EQ(result["sectorSize"].number, 65536);
        EXPECT_EQ(result["sectors"].number, c.sectors);
        EXPECT_EQ(result["simulation"]["violations"].number, 0);
        EXPECT_TRUE(Progress(run).empty());
    }
    TempDir dir;
    CliRun run;
    run.args = {"--simulate=flash=TS25L80P", "flash", "id"};
    run.directory = dir.Path().string();
    const CliOutcome text = RunCliProcess(run);
    EXPECT_EQ(text.out.front(),
              "TS25L80P: TSI serial flash, 1048576 bytes (4096 pages of 256 bytes, 16 sectors of 65536 bytes)");
}

// What every sub-command says when the chip cannot be reached, and that
// none of them leaves the board different.
TEST(CliFlash, EachFaultEndsWithItsFailureText) {
    struct Case {
        const char* simulate;
        std::vector<std::string> args;
        int exit;
        const char* failure;
    };
    TempDir files;
    Put(files.File("image.bin"), Pattern(262144));
    const Case cases[] = {
        {"flash=none", {"id"}, 1, " Eeprom Id Error"},
        {"flash=none", {"read", "-o", "out.bin"}, 1, " Eeprom Id Error"},
        {"flash=none", {"verify"}, 1, " Eeprom Id Error"},
        {"flash=none", {"erase"}, 1, " Eeprom Id Error"},
        {"refuse-serial", {"erase"}, 1, " Entry Eeprom Mode False"},
        {"unplug-after=500", {"read", "-o", "out.bin"}, 1, "Device Read Error"},
        {"unplug-after=500", {"verify", files.File("image.bin")}, 1, "Device Read Error"},
        {"flash-stuck-busy", {"erase"}, 1, "Device Error"},
        {"unplugged", {"erase"}, 3, "no programmer box found"},
        {"refuse-open=in-use", {"read", "-o", "out.bin"}, 4, "is in use by another program"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.simulate << " " << c.args[0]);
        TempDir dir;
        const CliOutcome run = Flash(dir, c.simulate, c.args);
        EXPECT_EQ(run.exit, c.exit) << run.err;
        EXPECT_NE(run.err.find(c.failure), std::string::npos) << run.err;
        const JsonValue result = Parsed(run.out.back());
        EXPECT_EQ(result["event"].text, "result");
        EXPECT_NE(result["failure"].text.find(c.failure), std::string::npos) << result["failure"].text;
        EXPECT_FALSE(fs::exists(dir.File("out.bin"))) << "no file from a failed read";
    }
}

TEST(CliFlash, ReadWritesTheWholeChipToTheFile) {
    struct Case {
        const char* chip;
        size_t size;
    };
    for (const Case& c : {Case{"M25P20", 262144}, Case{"M25P80", 1048576}}) {
        SCOPED_TRACE(c.chip);
        TempDir dir;
        // The board holds a pattern in its first 300000 bytes (as far as the
        // chip goes), the rest erased.
        const std::string content = Pattern(std::min<size_t>(c.size, 300000));
        Put(dir.File("content.bin"), content);
        Put(dir.File("out.bin"), "an older file");
        const CliOutcome run = Flash(dir, std::string("flash=") + c.chip + ",flash-image=" + dir.File("content.bin"),
                                     {"read", "-o", dir.File("out.bin")});
        ASSERT_EQ(run.exit, 0) << run.err;
        std::string expected = content;
        expected.resize(c.size, '\xFF');
        EXPECT_EQ(Contents(dir.File("out.bin")), expected);
        EXPECT_EQ(Contents(dir.File("board.bin")), expected) << "reading changed the board";
        const JsonValue result = Parsed(run.out.back());
        EXPECT_EQ(result["bytes"].number, static_cast<double>(c.size));
        EXPECT_EQ(result["file"].text, dir.File("out.bin"));
        ExpectClimbsTo100(Progress(run));
    }
    // A file that cannot be written fails the command, and nothing is left.
    TempDir dir;
    const CliOutcome run = Flash(dir, "", {"read", "-o", dir.File("missing/out.bin")});
    EXPECT_EQ(run.exit, 1);
    EXPECT_NE(run.err.find("cannot write " + dir.File("missing/out.bin")), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir.File("missing")));
}

TEST(CliFlash, VerifyComparesWithoutWritingAndCountsEveryDifference) {
    const std::string image = Pattern(262144);
    struct Case {
        const char* what;
        std::vector<uint32_t> changed;  // addresses whose byte the board holds otherwise
        size_t imageBytes;              // of the image given to verify
        int exit;
        std::string line;
    };
    const Case cases[] = {
        {"the same", {}, 262144, 0, ""},
        {"a shorter image", {200000}, 1000, 0, ""},
        {"three bytes", {0x100, 0x101, 0x3FFFF}, 262144, 1, "first difference at 0x000100; 3 of 262144 bytes differ"},
        {"the last byte", {0x3FFFF}, 262144, 1, "first difference at 0x03FFFF; 1 of 262144 bytes differs"},
        {"a partial last page", {999}, 1000, 1, "first difference at 0x0003E7; 1 of 1000 bytes differs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string board = image;
        for (uint32_t address : c.changed) board[address] = static_cast<char>(~board[address]);
        Put(dir.File("board-before.bin"), board);
        Put(dir.File("image.bin"), image.substr(0, c.imageBytes));
        const CliOutcome run =
            Flash(dir, "flash-image=" + dir.File("board-before.bin"), {"verify", dir.File("image.bin")});
        EXPECT_EQ(run.exit, c.exit) << run.err;
        EXPECT_NE(run.err.find(c.line), std::string::npos) << run.err;
        EXPECT_EQ(Contents(dir.File("board.bin")), board) << "verify wrote to the board";
        const JsonValue result = Parsed(run.out.back());
        EXPECT_EQ(result["bytes"].number, static_cast<double>(c.imageBytes));
        EXPECT_EQ(result["differingBytes"].number, c.exit == 0 ? 0 : static_cast<double>(c.changed.size()));
        if (c.exit == 0) {
            EXPECT_EQ(result["firstDifference"].kind, JsonValue::Kind::kNull);
            ExpectClimbsTo100(Progress(run), c.imageBytes / 256 / 100);
        } else {
            EXPECT_EQ(result["firstDifference"].number, c.changed.front());
            EXPECT_EQ(result["failure"].text, "Device Check Error");
        }
    }
}

TEST(CliFlash, VerifyWithoutAFileTakesTheSerialFlashImage) {
    TempDir dir;
    const CliOutcome same = Flash(dir, std::string("flash-image=") + kEmbeddedEepromPlainFile, {"verify"});
    EXPECT_EQ(same.exit, 0) << same.err;
    // A blank board differs wherever the image is not 0xFF.
    const std::string image = Contents(kEmbeddedEepromPlainFile);
    const size_t notBlank = image.size() - std::count(image.begin(), image.end(), '\xFF');
    const CliOutcome blank = Flash(dir, "", {"verify"});
    EXPECT_EQ(blank.exit, 1);
    EXPECT_EQ(Parsed(blank.out.back())["differingBytes"].number, static_cast<double>(notBlank));
}

TEST(CliFlash, VerifyRefusesImagesItCannotCompare) {
    TempDir files;
    Put(files.File("empty.bin"), "");
    Put(files.File("half-mib.bin"), std::string(524288, 'x'));
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* error;
    };
    const Case cases[] = {
        {{"verify", files.File("empty.bin")}, 2, "is empty"},
        {{"verify", files.File("half-mib.bin")}, 1, "Eeprom Image Too Large"},
        {{"verify", files.File("half-mib.bin"), "--eeprom-image", files.File("half-mib.bin")}, 2, "not both"},
        {{"read", "-o", ""}, 2, "an empty file name names no file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        TempDir dir;
        const CliOutcome run = Flash(dir, "", c.args);
        EXPECT_EQ(run.exit, c.exit);
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        EXPECT_EQ(Parsed(run.out.back())["exit"].number, c.exit);
    }
}

TEST(CliFlash, EraseLeavesTheWholeChipBlankAndChecksIt) {
    struct Case {
        const char* simulate;
        int exit;
        const char* line;
        double differing;
        double first;
    };
    const Case cases[] = {
        {"flash=M25P20", 0, "", 0, -1},
        {"flash=M25P80", 0, "", 0, -1},
        {"flash=TS25L80P", 0, "", 0, -1},
        // A worn cell that no longer erases.
        {"flash=M25P40,flash-erase-fail-page=5", 1, "first byte not erased at 0x000500; 1 of 524288 bytes is not erased",
         1, 0x500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.simulate);
        TempDir dir;
        Put(dir.File("content.bin"), Pattern(200000));
        const CliOutcome run =
            Flash(dir, std::string(c.simulate) + ",flash-image=" + dir.File("content.bin"), {"erase"});
        EXPECT_EQ(run.exit, c.exit) << run.err;
        EXPECT_NE(run.err.find(c.line), std::string::npos) << run.err;
        const JsonValue result = Parsed(run.out.back());
        EXPECT_EQ(result["differingBytes"].number, c.differing);
        const std::string board = Contents(dir.File("board.bin"));
        EXPECT_EQ(static_cast<size_t>(std::count(board.begin(), board.end(), '\xFF')), board.size() - (c.exit ? 1 : 0));
        if (c.exit == 0) {
            ExpectClimbsTo100(Progress(run));
        } else {
            EXPECT_EQ(result["failure"].text, "Device Blank Check Error");
            EXPECT_EQ(result["firstDifference"].number, c.first);
        }
    }
}

}  // namespace
}  // namespace vexu::test

namespace vexu::test {
namespace {

// flash write --at changes exactly the bytes of the file: on a board full of
// a pattern, the erase units the data touches are erased with the part's
// smallest erase, their other bytes written back, the rest never touched;
// flash read --at --length reads back the same range.
TEST(CliFlash, WriteAtChangesExactlyItsBytesAndReadAtReadsThemBack) {
    struct Case {
        const char* chip;
        size_t boardBytes;  // the pattern on the board; the rest erased
        uint32_t at;
        size_t length;
        int eraseUnit;
        int unitsErased;
    };
    const Case cases[] = {
        {"W25Q16JV", 0x200000, 0x1F80, 0x100, 4096, 2},  // across a 4 KiB boundary
        {"M25P20", 0x40000, 0x10, 100, 65536, 1},         // the first boards' sector
        {"M25P128", 0x10000, 0xFFFFF0, 0x10, 262144, 1},  // its 256 KiB sector, at the end of the chip
        {"N25Q256A", 0x1000, 0x1FFF000, 0x1000, 4096, 1},  // four address bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chip);
        TempDir dir;
        const std::string board = Pattern(c.boardBytes);
        Put(dir.File("board-before.bin"), board);
        std::string data(c.length, '\0');
        for (size_t i = 0; i < c.length; ++i) data[i] = static_cast<char>(0xA0 ^ (i * 3));
        Put(dir.File("data.bin"), data);
        const std::string simulate = std::string("flash=") + c.chip + ",flash-image=" + dir.File("board-before.bin");
        char at[16];
        snprintf(at, sizeof at, "0x%X", c.at);
        const CliOutcome run = Flash(dir, simulate, {"write", dir.File("data.bin"), "--at", at});
        ASSERT_EQ(run.exit, 0) << run.err;
        const JsonValue result = Parsed(run.out.back());
        EXPECT_EQ(result["eraseUnit"].number, c.eraseUnit);
        EXPECT_EQ(result["unitsErased"].number, c.unitsErased);
        EXPECT_EQ(result["bytesKept"].number, static_cast<double>(c.unitsErased) * c.eraseUnit - c.length);
        std::string expected = Contents(dir.File("board-before.bin"));
        expected.resize(Contents(dir.File("board.bin")).size(), '\xFF');
        expected.replace(c.at, c.length, data);
        EXPECT_TRUE(Contents(dir.File("board.bin")) == expected) << "bytes outside the data changed";

        // The same range read back from the board as written (where the
        // board's file stays small).
        if (c.at + c.length > 0x200000) continue;
        Put(dir.File("board-after.bin"), Contents(dir.File("board.bin")).substr(0, c.at + c.length));
        const CliOutcome read = Flash(dir, std::string("flash=") + c.chip + ",flash-image=" + dir.File("board-after.bin"),
                                      {"read", "-o", dir.File("range.bin"), "--at", at, "--length",
                                       std::to_string(c.length)});
        ASSERT_EQ(read.exit, 0) << read.err;
        EXPECT_EQ(Contents(dir.File("range.bin")), data);
    }
    // A range that leaves the chip is refused before anything is erased.
    TempDir dir;
    Put(dir.File("data.bin"), std::string(32, 'x'));
    const CliOutcome run = Flash(dir, "flash=M25P20", {"write", dir.File("data.bin"), "--at", "0x3FFF0"});
    EXPECT_EQ(run.exit, 1);
    EXPECT_NE(run.err.find("Eeprom Range Error: 32 bytes at 0x03FFF0 leave the chip of 262144 bytes"),
              std::string::npos)
        << run.err;
}

// A read path that gives different bytes each time is not written to a file
// as if it were the chip's contents.
TEST(CliFlash, ReadThatDiffersOnTheSecondReadingFailsAndWritesNothing) {
    TempDir dir;
    const CliOutcome run = Flash(dir, "flash=M25P20,flash-flaky-read", {"read", "-o", dir.File("out.bin")});
    EXPECT_EQ(run.exit, 1);
    EXPECT_NE(run.err.find("Device Read Unstable: page 0 (0x000000) read differently twice"), std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(dir.File("out.bin")));
}

// flash id of a part only its SFDP describes: the table's values and a row
// ready for the chip table; the station's serial-flash options reach the
// step and its record keeps the status register before and after.
TEST(CliFlash, IdOfAnSfdpOnlyPartAndProtectionOptionsOnTheStep) {
    TempDir dir;
    const CliOutcome id = Flash(dir, "flash=W25Q32JV,flash-id=0xEF7116", {"id"});
    ASSERT_EQ(id.exit, 0) << id.err;
    const JsonValue result = Parsed(id.out.back());
    EXPECT_EQ(result["chip"].text, "SFDP-EF-71-16");
    EXPECT_TRUE(result["sfdpOnly"].boolean);
    EXPECT_EQ(result["sfdpBytes"].number, 4194304);
    EXPECT_NE(result["tableRow"].text.find(".maker = 0xEF, .type = 0x71, .capacity = 0x16, .size = 4096 * kKiB"),
              std::string::npos)
        << result["tableRow"].text;

    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* statusAfter;  // null: not read
    };
    const Case cases[] = {
        {{}, 1, nullptr},
        {{"--unprotect"}, 0, "0x00"},
        {{"--unprotect", "--reprotect", "--flash-timing=chip"}, 0, "0x18"},
    };
    for (const Case& c : cases) {
        TempDir each;
        Put(each.File("image.bin"), Pattern(1000));
        CliRun station;
        station.args = {"--simulate=flash=GD25Q64C,flash-protect=0x18,flash-busy-percent=10", "--json", "--eeprom-image",
                        each.File("image.bin"), "run", "--no-fpga"};
        station.args.insert(station.args.end(), c.args.begin(), c.args.end());
        station.directory = each.Path().string();
        station.stateHome = each.File("state");
        const CliOutcome run = RunCliProcess(station);
        SCOPED_TRACE(run.err);
        EXPECT_EQ(run.exit, c.exit);
        const JsonValue record = Parsed(run.out.back());
        EXPECT_EQ(record["eeprom"]["statusBefore"].text, "0x18");
        if (c.statusAfter) EXPECT_EQ(record["eeprom"]["statusAfter"].text, c.statusAfter);
        if (c.exit != 0) EXPECT_NE(record["failure"].text.find("Eeprom Write Protected: blocks"), std::string::npos);
    }
}

}  // namespace
}  // namespace vexu::test
