// vexu-cli as a station runs it, on Linux and under wine alike: the serials
// of a counter come from the station's database in the user's state
// directory, every run lands in it, the report reads it back, a second
// process is kept off the ledger by the lock, a report reads beside it,
// and a line database is refused where the program has none.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "station/database.h"
#include "station/ledger.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace vexu::station {
namespace {

#ifdef _WIN32
constexpr const char* kStateDirectoryVariable = "LOCALAPPDATA";
#else
constexpr const char* kStateDirectoryVariable = "XDG_STATE_HOME";
#endif

struct CliOutput {
    int exit = -1;
    std::string text;  // stdout, then stderr
};

CliOutput RunCli(const test::TempDir& state, std::vector<std::string> args, const std::string& env = "") {
    args.insert(args.begin(), VEXU_CLI_PATH);
    std::vector<std::string> environment = {std::string(kStateDirectoryVariable) + "=" + state.Path().string(),
                                            "VEXU_JOURNAL=off"};
    if (!env.empty()) environment.push_back(env);
    const std::string errFile = state.File("stderr.txt");
    const test::ChildResult child = test::RunChild(args, environment, errFile);
    CliOutput output{child.exit, ""};
    for (const std::string& line : child.out) output.text += line + "\n";
    for (const std::string& line : test::ReadLines(errFile)) output.text += line + "\n";
    return output;
}

// Where the program keeps its station database under a state directory.
std::string StationDbUnder(const test::TempDir& state) {
    return (state.Path() / "vexu-programmer" / "station.db").string();
}

const std::vector<std::string> kSerialRun = {"--simulate", "run",         "--no-fpga",
                                             "--serial-at", "0x3FF00",    "--serial-format", "VX%08u"};

// Two runs hand out VX00000001 then VX00000002 from the station database
// under the state directory; both are committed in its ledger, both records
// are in it, and the report shows them.
TEST(StationCli, SerialsAndRecordsGoThroughTheStationDatabase) {
    test::TempDir state;
    for (int run = 0; run < 2; ++run) {
        const CliOutput output = RunCli(state, kSerialRun);
        ASSERT_EQ(output.exit, 0) << output.text;
    }
    const std::string path = StationDbUnder(state);
    std::string error;
    auto db = OpenSqlite(path, error);
    ASSERT_TRUE(db) << error;
    Rows mode;
    ASSERT_TRUE(db->Run("PRAGMA journal_mode", {}, &mode, error)) << error;
    EXPECT_EQ(FirstValue(mode), Value("wal"));
    Rows serials;
    ASSERT_TRUE(db->Run("SELECT serial, state FROM serials ORDER BY idx", {}, &serials, error)) << error;
    ASSERT_EQ(serials.size(), 2u);
    EXPECT_EQ(serials[0], (Row{"VX00000001", "committed"}));
    EXPECT_EQ(serials[1], (Row{"VX00000002", "committed"}));
    Rows records;
    ASSERT_TRUE(db->Run("SELECT serial, result, station FROM records ORDER BY time, rowid", {}, &records, error));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1][0], Value("VX00000002"));
    EXPECT_EQ(records[1][1], Value("ok"));
    // The computer's own name, not the fallback.
    EXPECT_NE(DefaultStationName(), "station");
    EXPECT_EQ(records[1][2], Value(DefaultStationName()));
    db.reset();

    const CliOutput history = RunCli(state, {"report", "history", "--serial", "VX00000002", "--format", "csv"});
    ASSERT_EQ(history.exit, 0) << history.text;
    EXPECT_NE(history.text.find("VX00000002"), std::string::npos) << history.text;
    const CliOutput yield = RunCli(state, {"report", "yield", "--format", "csv"});
    ASSERT_EQ(yield.exit, 0) << yield.text;
    // The station's row: 2 runs, 2 passed.
    EXPECT_NE(yield.text.find(DefaultStationName() + ",2,2,"), std::string::npos) << yield.text;
}

// Refusals before any box is touched, each with its reason: a second
// station process while one holds the ledger, and a line database where
// this build has none.
TEST(StationCli, RefusesWhatTheStationCannotDo) {
    test::TempDir state;
    StationLedger holder;
    std::string error;
    LedgerOptions options;
    options.path = StationDbUnder(state);
    ASSERT_TRUE(holder.Open(options, error)) << error;
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string env;
        int exit;
        std::string reason;
    };
    std::vector<Case> cases = {{"ledger held", kSerialRun, "", 2, "is in use by another station process"},
                               // A report reads beside a station that holds the ledger.
                               {"report beside the station", {"report", "yield"}, "", 0, "yield by station"}};
    if (!kLineDbSupported) {
        std::vector<std::string> withLine = kSerialRun;
        withLine.insert(withLine.end(), {"--line-db", "postgresql://line/vexu"});
        cases.push_back({"--line-db", withLine, "", 2, kLineDbUnsupported});
        cases.push_back({"VEXU_LINE_DB", {"--simulate", "run", "--no-fpga"}, "VEXU_LINE_DB=host=/x", 2,
                         kLineDbUnsupported});
        cases.push_back({"report --line-db", {"report", "--line-db", "postgresql://line/vexu"}, "", 1,
                         kLineDbUnsupported});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CliOutput output = RunCli(state, c.args, c.env);
        EXPECT_EQ(output.exit, c.exit) << output.text;
        EXPECT_NE(output.text.find(c.reason), std::string::npos) << output.text;
    }
    // Nothing was handed out while refused.
    Rows rows;
    ASSERT_TRUE(holder.Local().Run("SELECT count(*) FROM serials", {}, &rows, error)) << error;
    EXPECT_EQ(ToInt(FirstValue(rows)), 0);
}

// A state directory whose name is not ASCII (a user's name with accents or
// in Chinese): the database, its lock and its directory are made where the
// name says, and a second ledger finds the first one's lock.
TEST(StationCli, StationDatabaseUnderANameThatIsNotAscii) {
    test::TempDir state;
    const std::string dir = PathText(state.Path()) + "/Zo\xc3\xab-\xe7\x8a\xb6\xe6\x80\x81";
    LedgerOptions options;
    options.path = dir + "/vexu-programmer/station.db";
    StationLedger first, second;
    std::string error;
    ASSERT_TRUE(first.Open(options, error)) << error;
    EXPECT_FALSE(second.Open(options, error));
    EXPECT_NE(error.find("is in use by another station process"), std::string::npos) << error;
    for (const char* name : {"station.db", "station.db.lock"})
        EXPECT_TRUE(std::filesystem::exists(PathFromText(dir) / "vexu-programmer" / name)) << name;
    // Nothing beside it under a garbled name.
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(state.Path())) entries += entry.exists();
    EXPECT_EQ(entries, 1u);
}

}  // namespace
}  // namespace vexu::station
