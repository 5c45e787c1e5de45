// The station's ledger and records: in its own SQLite file (taking over an
// old state file and run log, migrating a first-version database), and in
// a line's PostgreSQL server shared by station processes, through kills and
// a server restart.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <tuple>

#include "platform/json_reader.h"
#include "station/ledger.h"
#include "station/report.h"
#include "support/temp_dir.h"
#ifndef _WIN32
#include "pg_server.h"
#endif

namespace vexu::station {
namespace {

std::optional<std::string> Counter(uint64_t index) {
    if (index > 9999) return std::nullopt;
    char text[16];
    snprintf(text, sizeof text, "VX%04u", static_cast<unsigned>(index));
    return std::string(text);
}

struct TempDir {
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    test::TempDir dir;
    std::string path = dir.Path().string();
};

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string Line(const char* time, const char* slot, bool ok, const char* serial, const char* failure = "") {
    std::string line = std::string("{\"time\":\"") + time + "\",\"box\":\"/dev/hidraw1\",\"result\":\"" +
                       (ok ? "ok" : "failed") + "\",\"fpga\":{\"result\":\"" + (ok ? "ok" : "failed") +
                       "\",\"seconds\":80.000},\"eeprom\":{\"result\":\"" + (ok ? "ok" : "skipped") +
                       "\"},\"failure\":\"" + failure + "\"";
    if (*serial) line += std::string(",\"serialNumber\":\"") + serial + "\"";
    return line + ",\"version\":\"1.0.0\",\"location\":null,\"boxSerial\":null,\"slot\":\"" + slot + "\"}\n";
}

Rows Query(Database& db, const std::string& sql) {
    Rows rows;
    std::string error;
    EXPECT_TRUE(db.Run(sql, {}, &rows, error)) << error;
    return rows;
}

int64_t Count(Database& db, const std::string& sql) { return ToInt(FirstValue(Query(db, sql))); }

// An old station's state file and run log are taken over whole; serials they
// knew are never handed out again, and the reports read the imported runs.
TEST(StationDb, TakesOverStateFileAndRunLogAndReportsThem) {
    TempDir dir;
    Write(dir / "serials.state",
          "vexu-programmer serials 1\nnext counter 6\nfree counter 2 VX0002\nreserved counter 4 VX0004\n"
          "skipped counter 3 VX0003\ngiven VX0001\ngiven VX0005\n");
    Write(dir / "runs.log", Line("2026-01-05T08:00:00Z", "1-1", true, "VX0001") +
                                Line("2026-01-05T08:05:00Z", "1-2", false, "", "Failed to program FlashROM") +
                                "not a record\n" + Line("2026-01-05T08:09:00Z", "1-2", true, "VX0005") +
                                Line("2026-01-06T09:00:00Z", "1-1", false, "", "Failed to program FlashROM"));
    StationLedger ledger;
    std::string error;
    ASSERT_TRUE(ledger.Open({dir / "station.db", "st1", "", 0, dir / "serials.state", dir / "runs.log"}, error))
        << error;
    EXPECT_EQ(ledger.ImportNotes().size(), 1u);
    // Released VX0002 first, then the counter past everything it gave.
    std::vector<std::string> handed;
    for (int i = 0; i < 3; ++i) {
        SerialReservation serial;
        bool usedUp = false;
        ASSERT_TRUE(ledger.Reserve("counter", 1, Counter, serial, usedUp, error)) << error;
        handed.push_back(serial.text);
        ASSERT_TRUE(ledger.Settle(serial, SerialEnd::kCommit, "", error)) << error;
    }
    EXPECT_EQ(handed, (std::vector<std::string>{"VX0002", "VX0006", "VX0007"}));
    EXPECT_EQ(Count(ledger.Local(), "SELECT count(*) FROM serials WHERE state = 'skipped'"), 2);

    std::vector<RecordRow> records;
    ASSERT_TRUE(LoadRecords(ledger.Local(), std::nullopt, std::nullopt, records, error)) << error;
    ASSERT_EQ(records.size(), 4u);
    const std::vector<ReportTable> yield = YieldTables(records);
    // By day: 2026-01-05 has 3 runs, 2 passed; of its 2 boards (the pass in
    // 1-2 after a failure there is a retry) 1 passed first time.
    EXPECT_EQ(yield[0].rows[0], (std::vector<Value>{"2026-01-05", "3", "2", "1", "66.7", "2", "1", "50.0"}));
    const ReportTable failures = FailureTable(records);
    ASSERT_EQ(failures.rows.size(), 1u);
    EXPECT_EQ(failures.rows[0][0], "fpga");
    EXPECT_EQ(failures.rows[0][1], "10");
    EXPECT_EQ(failures.rows[0][2], "2");
    std::vector<RecordRow> since;
    int64_t day = 0;
    ASSERT_TRUE(ParseReportTime("2026-01-06", day));
    ASSERT_TRUE(LoadRecords(ledger.Local(), day, std::nullopt, since, error));
    EXPECT_EQ(since.size(), 1u);
    ledger.Close();

    // Taken over once: a second opening imports nothing again.
    StationLedger again;
    ASSERT_TRUE(again.Open({dir / "station.db", "st1", "", 0, dir / "serials.state", dir / "runs.log"}, error));
    EXPECT_EQ(Count(again.Local(), "SELECT count(*) FROM records"), 4);
}

// A database that has kept only records (runs without serials, or a
// station of the last version) takes the state file over when it first
// hands out serials: none the file gave goes out again, and a damaged file
// stops the station rather than start afresh.
TEST(StationDb, RecordsOnlyDatabaseTakesTheStateFileWhenItFirstGivesSerials) {
    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "damaged" : "sound");
        TempDir dir;
        std::string error;
        {
            StationLedger records;
            ASSERT_TRUE(records.Open({dir / "station.db", "st1", "", 0, dir / "serials.state", dir / "runs.log",
                                      true},
                                     error))
                << error;
            // As the last version left it: the first use is noted, the serials are not.
            ASSERT_TRUE(records.Local().Run("DELETE FROM imports WHERE name = 'serials'", {}, nullptr, error));
        }
        Write(dir / "serials.state", damaged ? "vexu-programmer serials 1\nnext counter x\n"
                                             : "vexu-programmer serials 1\nnext counter 3\nreserved counter 2 VX0002\n"
                                               "given VX0001\n");
        StationLedger ledger;
        const bool opened = ledger.Open({dir / "station.db", "st1", "", 0, dir / "serials.state", dir / "runs.log"}, error);
        if (damaged) {
            EXPECT_FALSE(opened);
            EXPECT_NE(error.find("is damaged"), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(opened) << error;
        EXPECT_EQ(ledger.Skipped(), std::vector<std::string>{"VX0002"});
        SerialReservation serial;
        bool usedUp = false;
        ASSERT_TRUE(ledger.Reserve("counter", 1, Counter, serial, usedUp, error)) << error;
        EXPECT_EQ(serial.text, "VX0003");
    }
}

// A station killed while its boards were in hand: a serial whose board went
// on to pass (its worker wrote the record) is committed with that record
// when the station starts again; one whose board has no passing record is
// skipped (the board may hold it), and neither is handed out again.
TEST(StationDb, AStationsRestartSettlesItsBoardsByTheirRecords) {
    TempDir dir;
    std::string error;
    std::vector<SerialReservation> held(2);
    {
        StationLedger killed;
        ASSERT_TRUE(killed.Open({dir / "station.db", "st1", "", 0, "", ""}, error)) << error;
        bool usedUp = false;
        for (SerialReservation& serial : held)
            ASSERT_TRUE(killed.Reserve("counter", 1, Counter, serial, usedUp, error)) << error;
        // The workers' records: the first board passed, the second failed.
        for (const auto& [serial, result] : {std::pair{held[0].text, "ok"}, {held[1].text, "failed"}}) {
            RecordRow row;
            row.time = 100;
            row.day = "1970-01-01";
            row.station = "st1";
            row.result = result;
            row.serial = serial;
            row.record = "{}";
            ASSERT_TRUE(killed.AddRecord(row, error)) << error;
        }
    }
    StationLedger again;
    ASSERT_TRUE(again.Open({dir / "station.db", "st1", "", 0, "", ""}, error)) << error;
    EXPECT_EQ(again.Skipped(), std::vector<std::string>{held[1].text});
    const Rows states = Query(again.Local(), "SELECT serial, state, record_id IS NOT NULL FROM serials ORDER BY serial");
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0], (Row{held[0].text, "committed", "1"}));
    EXPECT_EQ(states[1], (Row{held[1].text, "skipped", "0"}));
    SerialReservation next;
    bool usedUp = false;
    ASSERT_TRUE(again.Reserve("counter", 1, Counter, next, usedUp, error)) << error;
    EXPECT_EQ(next.text, "VX0003");
}

// A database of the first schema version is brought forward: its records
// get their retry flag, and the serial key still refuses a serial twice.
TEST(StationDb, MigratesFromTheFirstVersion) {
    TempDir dir;
    {
        std::string error;
        auto db = OpenSqlite(dir / "station.db", error);
        ASSERT_TRUE(db) << error;
        ASSERT_TRUE(MigrateSchema(*db, {StationSchema()[0]}, error)) << error;
        for (const auto& [id, time, result] : {std::tuple{"a", "100", "failed"}, {"b", "200", "ok"}, {"c", "300", "ok"}})
            ASSERT_TRUE(db->Run("INSERT INTO records (id, time, day, station, slot, box, location, result, step, "
                                "engine_code, failure, seconds, record) VALUES ($1, $2, '1970-01-01', 's', '1-1', "
                                "'', '', $3, '', '', '', 1, '{}')",
                                {std::string(id), std::string(time), std::string(result)}, nullptr, error))
                << error;
        int64_t version = 0;
        ASSERT_TRUE(SchemaVersion(*db, version, error));
        EXPECT_EQ(version, 1);
    }
    StationLedger ledger;
    std::string error;
    ASSERT_TRUE(ledger.Open({dir / "station.db", "s", "", 0, "", ""}, error)) << error;
    EXPECT_EQ(Count(ledger.Local(), "SELECT max(version) FROM schema_version"), 2);
    EXPECT_EQ(Count(ledger.Local(), "SELECT group_concat(retry, '') FROM (SELECT retry FROM records ORDER BY time)"),
              10);  // "010": only b came after a failure in its slot
    std::string refused;
    EXPECT_TRUE(ledger.Local().Run("INSERT INTO serials (serial, pool, idx, state, time, station) VALUES ('X', 'p', 1, "
                                   "'reserved', 0, 's')", {}, nullptr, refused));
    EXPECT_FALSE(ledger.Local().Run("INSERT INTO serials (serial, pool, idx, state, time, station) VALUES ('X', 'q', 2, "
                                    "'committed', 0, 's')", {}, nullptr, refused));
    // A newer database than the program is refused, not rewritten.
    ASSERT_TRUE(ledger.Local().Run("INSERT INTO schema_version (version) VALUES (9)", {}, nullptr, error));
    ledger.Close();
    StationLedger newer;
    EXPECT_FALSE(newer.Open({dir / "station.db", "s", "", 0, "", ""}, error));
    EXPECT_NE(error.find("newer than this program"), std::string::npos) << error;
}

// Processes made by fork, the report through a POSIX shell, and a line's
// PostgreSQL server: on Linux (station_cli_test covers the report on
// Windows).
#ifndef _WIN32
// Station processes sharing one station database (a gang's) queue for its
// writer's lock: every reservation of every process is a distinct serial,
// none fails for a busy database, and a serial's end committed without
// waiting for the disk survives its process being killed at once.
TEST(StationDb, ProcessesSharingTheFileReserveDistinctSerials) {
    TempDir dir;
    std::string error;
    {
        auto db = OpenSqlite(dir / "station.db", error);
        ASSERT_TRUE(db && MigrateSchema(*db, StationSchema(), error)) << error;
    }
    constexpr int kProcesses = 6, kSerials = 40;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            auto db = OpenSqlite(dir / "station.db", error);
            bool ok = db != nullptr;
            for (int n = 0; ok && n < kSerials; ++n) {
                SerialReservation serial;
                bool usedUp = false;
                ok = ReserveSerial(*db, "counter", 1, Counter, "p" + std::to_string(p), 0, serial, usedUp, error) &&
                     db->BeginUnsynced(error) &&
                     db->Run("UPDATE serials SET state = 'committed' WHERE serial = $1", {serial.text}, nullptr,
                             error) &&
                     db->Commit(error);
            }
            if (!ok) fprintf(stderr, "process %d: %s\n", p, error.c_str());
            _exit(ok ? 0 : 1);  // killed as it stands: nothing closed
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto db = OpenSqlite(dir / "station.db", error);
    ASSERT_TRUE(db) << error;
    EXPECT_EQ(Count(*db, "SELECT count(DISTINCT serial) FROM serials WHERE state = 'committed'"),
              kProcesses * kSerials);
    EXPECT_EQ(Count(*db, "SELECT count(*) FROM serials"), kProcesses * kSerials);
    EXPECT_EQ(Count(*db, "SELECT next - 1 FROM pools"), kProcesses * kSerials);
}

struct Output {
    int status = -1;
    std::string text;
};

Output RunCli(const std::string& arguments) {
    Output output;
    FILE* pipe = popen((std::string(VEXU_CLI_PATH) + " " + arguments + " 2>&1").c_str(), "r");
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.text.append(buffer, got);
    const int status = pclose(pipe);
    output.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

// The report as people and programs read it: stored texts never reach the
// terminal raw, CSV quotes what needs it, every JSON line parses, and bad
// options are refused with their reason.
TEST(StationReport, PrintsStoredTextsSafelyAndRefusesBadOptions) {
    TempDir dir;
    {
        StationLedger ledger;
        std::string error;
        ASSERT_TRUE(ledger.Open({dir / "station.db", "st", "", 0, "", ""}, error)) << error;
        for (const auto& line : {Line("2026-02-01T08:00:00Z", "1-1", true, "VX\\u001b]0;owned\\u0007"),
                                 Line("2026-02-01T09:00:00Z", "1-2", false, "", "Bad \\\"cable\\\", again")}) {
            RecordRow row;
            ASSERT_TRUE(RowFromLogLine(line.substr(0, line.size() - 1), "st", row, error)) << error;
            ASSERT_TRUE(ledger.AddRecord(row, error)) << error;
        }
    }
    const std::string db = " --station-db " + (dir / "station.db");
    const Output history = RunCli("report history --serial \"$(printf 'VX\\033]0;owned\\007')\"" + db);
    EXPECT_EQ(history.status, 0) << history.text;
    EXPECT_NE(history.text.find("run   ok"), std::string::npos) << history.text;
    EXPECT_EQ(history.text.find('\x1b'), std::string::npos) << "a raw escape reached the terminal";
    const Output csv = RunCli("report failures --format csv" + db);
    EXPECT_NE(csv.text.find("fpga,-,1,80.0,\"Bad \"\"cable\"\", again\""), std::string::npos) << csv.text;
    const Output json = RunCli("report --format json" + db);
    ASSERT_EQ(json.status, 0) << json.text;
    size_t at = 0, objects = 0;
    for (size_t end; (end = json.text.find('\n', at)) != std::string::npos; at = end + 1, ++objects) {
        JsonValue value;
        std::string error;
        EXPECT_TRUE(ParseJson(json.text.substr(at, end - at), value, error)) << error;
    }
    EXPECT_EQ(objects, 5u);  // four yield tables and the failures
    const std::pair<const char*, const char*> refused[] = {
        {"report --since 2026-13-01", "--since takes a day"},
        {"report --until yesterday", "--until takes a day"},
        {"report history", "report history needs --serial"},
        {"report yield --serial VX1", "--serial is for report history"},
        {"report history --serial VX1 --board VX1", "needs --serial or --board (one of them)"},
        {"report failures --board VX1", "--board is for report history"},
    };
    for (const auto& [arguments, reason] : refused) {
        const Output output = RunCli(arguments + db);
        EXPECT_EQ(output.status, 2) << arguments;
        EXPECT_NE(output.text.find(reason), std::string::npos) << arguments << ": " << output.text;
    }
    const Output none = RunCli("report --station-db " + (dir / "none.db"));
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.text.find("no station database at"), std::string::npos) << none.text;
}

// A board's history, the same on a station's database and on a line's: its
// runs in one place up to its pass, whether named by a record id or by its
// serial, and not a run of another place or station between them.
void CheckBoardHistory(const std::string& dbOption, const LedgerOptions& station, const LedgerOptions& neighbour) {
    std::string error;
    {
        StationLedger st, other;
        ASSERT_TRUE(st.Open(station, error)) << error;
        ASSERT_TRUE(other.Open(neighbour, error)) << error;
        const std::tuple<StationLedger*, const char*, int64_t, const char*, bool, const char*> runs[] = {
            {&st, "a", 100, "1-1", true, "VX0001"},    // board A
            {&st, "b1", 200, "1-1", false, "VX0002"},  // board B, tried three times
            {&st, "c", 250, "1-2", true, "VX0003"},    // another slot meanwhile
            {&other, "x", 260, "1-1", false, ""},      // the same slot of another station
            {&st, "b2", 300, "1-1", false, ""},
            {&st, "b3", 400, "1-1", true, "VX0002"},
            {&st, "d", 500, "1-1", true, "VX0004"},  // the next board
        };
        for (const auto& [ledger, id, time, slot, ok, serial] : runs) {
            RecordRow row;
            row.id = id;
            row.time = 1767254400 + time;
            row.day = "2026-01-01";
            row.slot = slot;
            row.result = ok ? "ok" : "failed";
            row.step = ok ? "" : "fpga";
            row.failure = ok ? "" : "Failed to verify\r\ndetail";
            if (*serial) row.serial = serial;
            row.record = ok ? R"({"fpga":{"id":"0x029121CF"},"eeprom":{"chip":"M25P20"}})" : "{}";
            ASSERT_TRUE(ledger->AddRecord(row, error)) << error;
        }
    }
    const std::pair<const char*, const char*> cases[] = {
        {"b2", "b1:1:failed b2:2:failed b3:3:ok"},
        {"VX0002", "b1:1:failed b2:2:failed b3:3:ok"},  // the serial it passed with
        {"b3", "b1:1:failed b2:2:failed b3:3:ok"},
        {"a", "a:1:ok"},
        {"VX0004", "d:1:ok"},
        {"x", "x:1:failed"},
    };
    for (const auto& [board, expected] : cases) {
        const Output output = RunCli("report history --format json --board " + std::string(board) + dbOption);
        ASSERT_EQ(output.status, 0) << board << ": " << output.text;
        JsonValue line;
        ASSERT_TRUE(ParseJson(output.text.substr(0, output.text.find('\n')), line, error)) << output.text;
        EXPECT_EQ(line["report"].text, "boardHistory");
        EXPECT_EQ(line["board"].text, board);
        std::string got;
        for (const JsonValue& row : line["rows"].items) {
            got += (got.empty() ? "" : " ") + row["recordId"].text + ":" + std::to_string(int(row["try"].number)) +
                   ":" + row["result"].text;
            // Typed cells: absent values null, the failure's first line only.
            const bool ok = row["result"].text == "ok";
            EXPECT_EQ(row["failure"].kind, ok ? JsonValue::Kind::kNull : JsonValue::Kind::kString) << board;
            if (!ok) EXPECT_EQ(row["failure"].text, "Failed to verify");
            EXPECT_EQ(row["fpgaId"].kind, ok ? JsonValue::Kind::kString : JsonValue::Kind::kNull) << board;
            EXPECT_EQ(row["place"].text, row["recordId"].text == "c" ? "1-2" : "1-1");
        }
        EXPECT_EQ(got, expected) << board;
    }
    const Output table = RunCli("report history --board b1" + dbOption);
    EXPECT_NE(table.text.find("failed: Failed to verify  VX0002"), std::string::npos) << table.text;
    const Output unknown = RunCli("report history --board VX0099" + dbOption);
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.text.find("no record has the id or the serial VX0099"), std::string::npos) << unknown.text;
}

TEST(StationReport, BoardHistoryOnTheStation) {
    TempDir dir;
    CheckBoardHistory(" --station-db " + (dir / "station.db"), {dir / "station.db", "st", "", 0, "", ""},
                      {dir / "station.db", "other", "", 0, "", "", true});
}

class LineDb : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new test::PgServer(); }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        if (!server_->Missing().empty()) GTEST_SKIP() << "SKIP: " << server_->Missing();
        std::string error;
        line_ = ConnectPostgres(server_->Uri(), error);
        ASSERT_TRUE(line_ && !line_->Lost()) << error;
        ASSERT_TRUE(MigrateSchema(*line_, LineSchema(), error)) << error;
        ASSERT_TRUE(line_->RunAll({"DELETE FROM serials", "DELETE FROM records", "DELETE FROM pools"}, error)) << error;
    }
    LedgerOptions Station(const std::string& name, unsigned lease = 0) {
        return {dir_ / (name + ".db"), name, server_->Uri(), lease, "", ""};
    }
    static test::PgServer* server_;
    TempDir dir_;
    std::unique_ptr<Database> line_;
};
test::PgServer* LineDb::server_ = nullptr;

TEST_F(LineDb, BoardHistoryOnTheLine) {
    LedgerOptions neighbour = Station("other");
    neighbour.recordsOnly = true;
    CheckBoardHistory(" --line-db '" + server_->Uri() + "'", Station("st"), neighbour);
}

// One board: reserve, record, settle; every fifth fails before its serial
// flash and releases its serial. False on any error.
bool Board(StationLedger& ledger, int n, std::string& error) {
    SerialReservation serial;
    bool usedUp = false;
    if (!ledger.Reserve("counter", 1, Counter, serial, usedUp, error)) return false;
    const bool passed = n % 5 != 4;
    RecordRow row;
    row.time = 1767254400 + n;
    row.day = "2026-01-01";
    row.slot = "1-" + std::to_string(n % 4);
    row.result = passed ? "ok" : "failed";
    row.step = passed ? "" : "run";
    if (passed) row.serial = serial.text;
    row.record = "{}";
    return ledger.AddRecord(row, error) &&
           ledger.Settle(serial, passed ? SerialEnd::kCommit : SerialEnd::kRelease, row.id, error);
}

// Stations on separate processes draw from one pool at once: every serial
// is distinct, and every one handed out is accounted for.
TEST_F(LineDb, StationsDrawDistinctSerialsFromOnePool) {
    constexpr int kStations = 6, kBoards = 30;
    std::vector<pid_t> children;
    for (int s = 0; s < kStations; ++s) {
        const pid_t pid = fork();
        if (pid == 0) {
            StationLedger ledger;
            std::string error;
            bool ok = ledger.Open(Station("st" + std::to_string(s), s % 2 ? 3 : 0), error);
            for (int n = 0; ok && n < kBoards; ++n) ok = Board(ledger, n, error);
            ledger.Close();
            if (!ok) fprintf(stderr, "station %d: %s\n", s, error.c_str());
            _exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const int64_t passes = kStations * (kBoards - kBoards / 5);
    EXPECT_EQ(Count(*line_, "SELECT count(*) FROM serials WHERE state = 'committed'"), passes);
    EXPECT_EQ(Count(*line_, "SELECT count(DISTINCT serial) FROM records WHERE result = 'ok'"), passes);
    EXPECT_EQ(Count(*line_, "SELECT count(*) FROM records"), kStations * kBoards);
    // Nothing left on its way to a board; leases returned; the released
    // ones are the only ones not committed.
    EXPECT_EQ(Count(*line_, "SELECT count(*) FROM serials WHERE state NOT IN ('committed', 'released')"), 0);
    // No serial lies beyond the pool's counter, none below it is missing.
    EXPECT_EQ(Count(*line_, "SELECT next - 1 FROM pools"), Count(*line_, "SELECT count(*) FROM serials"));
}

// A station killed with a board in hand: its serial is skipped when it
// starts again, never handed to another board.
TEST_F(LineDb, KilledStationsSerialIsSkipped) {
    const pid_t pid = fork();
    if (pid == 0) {
        StationLedger ledger;
        std::string error;
        SerialReservation serial;
        bool usedUp = false;
        if (ledger.Open(Station("killed"), error) && ledger.Reserve("counter", 1, Counter, serial, usedUp, error))
            raise(SIGKILL);
        _exit(1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(Count(*line_, "SELECT count(*) FROM serials WHERE state = 'reserved' AND station = 'killed'"), 1);
    StationLedger other, restarted;
    std::string error;
    ASSERT_TRUE(other.Open(Station("other"), error)) << error;
    ASSERT_TRUE(restarted.Open(Station("killed"), error)) << error;
    EXPECT_EQ(restarted.Skipped(), std::vector<std::string>{"VX0001"});
    SerialReservation next;
    bool usedUp = false;
    ASSERT_TRUE(other.Reserve("counter", 1, Counter, next, usedUp, error)) << error;
    EXPECT_EQ(next.text, "VX0002");
    EXPECT_EQ(Count(*line_, "SELECT count(*) FROM serials WHERE serial = 'VX0001' AND state = 'skipped'"), 1);
}

// The server stops mid-shift: a leased station goes on with its lease and
// queues its records, an unleased one stops with the reason; back up, the
// queue goes up in order, once.
TEST_F(LineDb, ServerRestartMidShiftLosesAndDoublesNothing) {
    StationLedger leased, unleased;
    std::string error;
    ASSERT_TRUE(leased.Open(Station("leased", 4), error)) << error;
    ASSERT_TRUE(unleased.Open(Station("unleased"), error)) << error;
    ASSERT_TRUE(Board(leased, 0, error)) << error;
    ASSERT_TRUE(Board(unleased, 0, error)) << error;
    ASSERT_TRUE(server_->Stop());
    for (int n = 1; n <= 3; ++n) ASSERT_TRUE(Board(leased, n, error)) << error;
    EXPECT_GT(leased.Queued(), 0);
    EXPECT_FALSE(Board(unleased, 1, error));
    EXPECT_NE(error.find("holds no lease"), std::string::npos) << error;
    // The lease is used up: it stops too, rather than guess.
    EXPECT_FALSE(Board(leased, 4, error));
    EXPECT_NE(error.find("lease of serials is used up"), std::string::npos) << error;
    ASSERT_TRUE(server_->Start());
    std::unique_ptr<Database> line = ConnectPostgres(server_->Uri(), error);
    ASSERT_TRUE(leased.Flush(error)) << error;
    EXPECT_EQ(leased.Queued(), 0);
    ASSERT_TRUE(Board(leased, 4, error)) << error;
    ASSERT_TRUE(Board(unleased, 1, error)) << error;
    EXPECT_EQ(Count(*line, "SELECT count(*) FROM records WHERE station = 'leased'"), 5);
    // An upload repeated after a lost answer makes no second row.
    Rows first = Query(*line, std::string("SELECT ") + kRecordColumns + " FROM records LIMIT 1");
    ASSERT_TRUE(InsertRecord(*line, RowFromColumns(first[0]), error)) << error;
    EXPECT_EQ(Count(*line, "SELECT count(*) FROM records"), 7);
    leased.Close();
    unleased.Close();
    EXPECT_EQ(Count(*line, "SELECT count(DISTINCT serial) FROM serials"), Count(*line, "SELECT count(*) FROM serials"));
    EXPECT_EQ(Count(*line, "SELECT count(*) FROM serials WHERE state = 'reserved'"), 0);
    // The report reads the line as it reads a station.
    std::vector<RecordRow> records;
    ASSERT_TRUE(LoadRecords(*line, std::nullopt, std::nullopt, records, error)) << error;
    const std::vector<ReportTable> yield = YieldTables(records);
    EXPECT_EQ(yield[1].rows.back()[1], "7");
}

// The command line as a line: four station processes, each with its own
// state directory, program boards on the simulator with serials from one
// pool; the line's report counts every run once.
TEST_F(LineDb, CommandLineStationsProgramFromOnePool) {
    std::string script = "for s in 0 1 2 3; do (export XDG_STATE_HOME=" + dir_.path +
                         "/s$s VEXU_STATION_NAME=cli$s VEXU_LINE_DB='" + server_->Uri() +
                         "'; for i in 1 2 3; do " VEXU_CLI_PATH
                         " --simulate run --serial-at 0x100 --serial-format 'LN%05u' >/dev/null 2>>" +
                         dir_.path + "/errors || exit 1; done) & done; wait";
    ASSERT_EQ(std::system(script.c_str()), 0);
    std::ifstream errors(dir_ / "errors");
    std::string text((std::istreambuf_iterator<char>(errors)), std::istreambuf_iterator<char>());
    EXPECT_EQ(Count(*line_, "SELECT count(DISTINCT serial) FROM records WHERE result = 'ok'"), 12) << text;
    EXPECT_EQ(Count(*line_, "SELECT count(*) FROM serials WHERE state = 'committed'"), 12);
    EXPECT_EQ(Count(*line_, "SELECT count(*) FROM records r JOIN serials s ON s.serial = r.serial AND s.station = "
                            "r.station"),
              12);
    const std::string report = std::string(VEXU_CLI_PATH) + " report yield --format csv --line-db '" +
                               server_->Uri() + "' > " + dir_.path + "/report.csv";
    ASSERT_EQ(std::system(report.c_str()), 0);
    std::ifstream csv(dir_ / "report.csv");
    std::string line, stations;
    while (std::getline(csv, line))
        if (line.rfind("cli", 0) == 0) stations += line.substr(0, line.find(',', line.find(',') + 1)) + ";";
    EXPECT_EQ(stations, "cli0,3;cli1,3;cli2,3;cli3,3;");
}

// A gang station on the line: the station draws each board's serial from
// the pool (through its lease), its workers' records go up to the line,
// and the lease's unused serials go back when it ends.
TEST_F(LineDb, GangStationTakesItsSerialsFromTheLine) {
    Write(dir_ / "small.bin", std::string(4096, 'Z'));
    const std::string command = "cd " + dir_.path + " && XDG_STATE_HOME=" + dir_.path + "/gang " VEXU_CLI_PATH
                                " --simulate=boxes=3,station-boxes=2 --json --eeprom-image small.bin run --station "
                                "--gang --no-fpga --serial-at 0 --serial-format 'GX%04u' --station-name gang1 "
                                "--serial-lease 2 --line-db '" + server_->Uri() + "' > out.txt 2> err.txt";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(Count(*line_, "SELECT count(*) FROM records WHERE station = 'gang1' AND result = 'ok'"), 6);
    EXPECT_EQ(Count(*line_, "SELECT count(DISTINCT serial) FROM records WHERE station = 'gang1'"), 6);
    EXPECT_EQ(Count(*line_, "SELECT count(*) FROM serials WHERE state = 'committed'"), 6);
    EXPECT_EQ(Count(*line_, "SELECT count(*) FROM serials WHERE state = 'reserved'"), 0);
    // The station's own database has every record, each once.
    std::string error;
    auto local = OpenSqlite(dir_.path + "/gang/vexu-programmer/station.db", error);
    ASSERT_TRUE(local) << error;
    EXPECT_EQ(Count(*local, "SELECT count(*) FROM records"), 6);
    EXPECT_EQ(Count(*local, "SELECT count(*) FROM outbox"), 0);
}

#endif  // _WIN32

}  // namespace
}  // namespace vexu::station
