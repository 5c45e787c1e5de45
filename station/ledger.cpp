#include "station/ledger.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vexu::station {

namespace {

const char* const kSerialStates = "CHECK (state IN ('reserved', 'committed', 'skipped', 'released'))";

std::string SerialsTable() {
    return std::string(
               "CREATE TABLE serials (serial TEXT NOT NULL PRIMARY KEY, pool TEXT NOT NULL, idx BIGINT NOT NULL, "
               "state TEXT NOT NULL ") +
           kSerialStates + ", record_id TEXT, time BIGINT NOT NULL, station TEXT NOT NULL)";
}

const char* const kPoolsTable =
    "CREATE TABLE pools (name TEXT NOT NULL PRIMARY KEY, next BIGINT NOT NULL, last_index BIGINT, last_serial TEXT)";
const char* const kRecordsTable =
    "CREATE TABLE records (id TEXT NOT NULL PRIMARY KEY, time BIGINT NOT NULL, day TEXT NOT NULL, "
    "station TEXT NOT NULL, slot TEXT NOT NULL, box TEXT NOT NULL, location TEXT NOT NULL, result TEXT NOT NULL, "
    "step TEXT NOT NULL, engine_code TEXT NOT NULL, failure TEXT NOT NULL, serial TEXT, "
    "seconds DOUBLE PRECISION NOT NULL, record TEXT NOT NULL)";
const char* const kPlace = "CASE WHEN slot <> '' THEN slot WHEN location <> '' THEN location ELSE box END";

int64_t Now() { return GetClock().CalendarSeconds(); }

}  // namespace

const std::vector<std::vector<std::string>>& StationSchema() {
    static const std::vector<std::vector<std::string>> versions = {
        // 1: the ledger and the records of one station.
        {kPoolsTable, SerialsTable(), "CREATE INDEX serials_free ON serials (pool, state, idx)", kRecordsTable,
         "CREATE INDEX records_time ON records (time)",
         "CREATE TABLE imports (name TEXT NOT NULL PRIMARY KEY, time BIGINT NOT NULL)"},
        // 2: first-pass yield (whether a run was a board's retry) and a
        // line: the upload queue and the lease.
        {"ALTER TABLE records ADD COLUMN retry INTEGER NOT NULL DEFAULT 0",
         std::string("UPDATE records SET retry = COALESCE((SELECT p.result = 'failed' FROM records p "
                     "WHERE p.station = records.station AND (") +
             "CASE WHEN p.slot <> '' THEN p.slot WHEN p.location <> '' THEN p.location ELSE p.box END" + ") = (" +
             kPlace + ") AND p.rowid < records.rowid ORDER BY p.rowid DESC LIMIT 1), 0)",
         "CREATE TABLE outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL "
         "CHECK (kind IN ('record', 'settle')), ref TEXT NOT NULL, state TEXT, record_id TEXT)",
         "CREATE TABLE lease (serial TEXT NOT NULL PRIMARY KEY, pool TEXT NOT NULL, idx BIGINT NOT NULL)"},
    };
    return versions;
}

const std::vector<std::vector<std::string>>& LineSchema() {
    static const std::vector<std::vector<std::string>> versions = {
        {kPoolsTable, SerialsTable(), "CREATE INDEX serials_free ON serials (pool, state, idx)",
         "CREATE INDEX serials_station ON serials (station, state)",
         std::string(kRecordsTable).insert(std::string(kRecordsTable).size() - 1, ", retry INTEGER NOT NULL DEFAULT 0"),
         "CREATE INDEX records_time ON records (time)"},
    };
    return versions;
}

std::string DefaultStationDbPath() {
    return PathText(UserStateDirectory() / "vexu-programmer" / "station.db");
}

std::string LineDbFromEnvironment() {
    const char* uri = std::getenv("VEXU_LINE_DB");
    return uri ? uri : "";
}

std::string DefaultStationName() {
#ifdef _WIN32
    // (gethostname would need the socket library started first.)
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size) || !name[0]) return "station";
#else
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "station";
#endif
    return name;
}

const char* SerialStateText(SerialEnd end) {
    switch (end) {
        case SerialEnd::kCommit: return "committed";
        case SerialEnd::kRelease: return "released";
        case SerialEnd::kSkip: return "skipped";
    }
    return "skipped";
}

bool ReserveSerial(Database& db, const std::string& pool, uint64_t start, const StationLedger::Render& render,
                   const std::string& station, int64_t now, SerialReservation& reservation, bool& usedUp,
                   std::string& error) {
    usedUp = false;
    if (!db.Begin(error)) return false;
    auto fail = [&db]() {
        db.Rollback();
        return false;
    };
    Rows rows;
    // A released serial first: its board never got it.
    const std::string freeOne = std::string("SELECT serial, idx FROM serials WHERE pool = $1 AND state = 'released' "
                                            "ORDER BY idx LIMIT 1") +
                                (db.IsPostgres() ? " FOR UPDATE SKIP LOCKED" : "");
    if (!db.Run(freeOne, {pool}, &rows, error)) return fail();
    if (!rows.empty()) {
        reservation = {pool, static_cast<uint64_t>(ToInt(rows[0][1])), *rows[0][0]};
        if (!db.Run("UPDATE serials SET state = 'reserved', station = $2, time = $3, record_id = NULL "
                    "WHERE serial = $1",
                    {reservation.text, station, std::to_string(now)}, nullptr, error))
            return fail();
        return db.Commit(error) || fail();
    }
    if (!db.Run("INSERT INTO pools (name, next) VALUES ($1, $2) ON CONFLICT (name) DO NOTHING",
                {pool, std::to_string(start)}, nullptr, error))
        return fail();
    // Serials handed out before from elsewhere are passed over; the rows
    // the pool's counter moves past stay taken.
    for (int tries = 0; tries < 100000; ++tries) {
        rows.clear();
        if (!db.Run("UPDATE pools SET next = (CASE WHEN next < $2 THEN $2 ELSE next END) + 1 WHERE name = $1 "
                    "RETURNING next - 1",
                    {pool, std::to_string(start)}, &rows, error))
            return fail();
        const uint64_t index = static_cast<uint64_t>(ToInt(FirstValue(rows)));
        const std::optional<std::string> text = render(index);
        if (!text) {
            usedUp = true;
            error = "the serial numbers of " + pool + " are used up";
            return fail();
        }
        // Nothing stands there (a serial file's blank line).
        if (text->empty()) continue;
        rows.clear();
        if (!db.Run("INSERT INTO serials (serial, pool, idx, state, time, station) "
                    "VALUES ($1, $2, $3, 'reserved', $4, $5) ON CONFLICT (serial) DO NOTHING RETURNING serial",
                    {*text, pool, std::to_string(index), std::to_string(now), station}, &rows, error))
            return fail();
        if (rows.empty()) continue;
        reservation = {pool, index, *text};
        return db.Commit(error) || fail();
    }
    error = "no serial of " + pool + " is left that was not handed out before";
    return fail();
}

StationLedger::~StationLedger() { Close(); }

bool StationLedger::Open(const LedgerOptions& options, std::string& error) {
    station_ = options.station.empty() ? DefaultStationName() : options.station;
    recordsOnly_ = options.recordsOnly;
    lease_ = options.recordsOnly ? 0 : options.lease;
    const std::string path = options.path.empty() ? DefaultStationDbPath() : options.path;
    if (!options.recordsOnly) {
        // One process of a station hands out its serials: a second would
        // take the first one's boards in hand for unfinished runs.
        std::error_code made;
        std::filesystem::create_directories(PathFromText(path).parent_path(), made);
        std::string holder;
        switch (lock_.TryLock(PathFromText(path + ".lock"), holder)) {
            case vexu::FileLock::Result::kLocked: break;
            case vexu::FileLock::Result::kHeld:
                error = "the station database " + path + " is in use by another station process" +
                        (holder.empty() ? std::string() : " (" + holder + ")");
                return false;
            case vexu::FileLock::Result::kFailed:
                error = "cannot lock the station database " + path + ": " + holder;
                return false;
        }
    }
    local_ = OpenSqlite(path, error);
    if (!local_ || !MigrateSchema(*local_, StationSchema(), error)) {
        local_.reset();
        return false;
    }
    if (!Import(options, error)) {
        local_.reset();
        return false;
    }
    if (options.recordsOnly) {
        if (!options.lineDb.empty()) {
            std::string unreachable;
            line_ = ConnectPostgres(options.lineDb, unreachable);
            recovered_ = true;  // the station process settles its own serials
            if (line_ && !line_->Lost()) MigrateSchema(*line_, LineSchema(), unreachable);
        }
        return true;
    }
    // A serial still reserved went to a board whose station stopped before
    // the run's end reached it (killed, the power went). A gang station's
    // worker outlives its station and writes its board's record here: a
    // board that passed with the serial has it committed, with its record.
    // Any other may have left the serial on its board: skipped.
    Rows committed;
    Rows rows;
    if (!local_->Begin(error) ||
        !local_->Run("UPDATE serials SET state = 'committed', record_id = (SELECT r.id FROM records r WHERE "
                     "r.serial = serials.serial AND r.result = 'ok' ORDER BY r.time DESC LIMIT 1) "
                     "WHERE state = 'reserved' AND EXISTS (SELECT 1 FROM records r WHERE r.serial = serials.serial "
                     "AND r.result = 'ok') RETURNING serial, record_id",
                     {}, &committed, error) ||
        !local_->Run("UPDATE serials SET state = 'skipped' WHERE state = 'reserved' RETURNING serial", {}, &rows,
                     error)) {
        local_->Rollback();
        local_.reset();
        return false;
    }
    for (const Row& row : committed) {
        if (!options.lineDb.empty() &&
            !local_->Run("INSERT INTO outbox (kind, ref, state, record_id) VALUES ('settle', $1, 'committed', $2)",
                         {*row[0], row[1]}, nullptr, error)) {
            local_->Rollback();
            local_.reset();
            return false;
        }
    }
    for (const Row& row : rows) {
        skipped_.push_back(*row[0]);
        if (!options.lineDb.empty() &&
            !local_->Run("INSERT INTO outbox (kind, ref, state) VALUES ('settle', $1, 'skipped')", {*row[0]}, nullptr,
                         error)) {
            local_->Rollback();
            local_.reset();
            return false;
        }
    }
    if (!local_->Commit(error)) {
        local_->Rollback();
        local_.reset();
        return false;
    }
    if (!options.lineDb.empty()) {
        std::string unreachable;
        line_ = ConnectPostgres(options.lineDb, unreachable);
        if (!line_) {
            error = unreachable;
            local_.reset();
            return false;
        }
        std::string ignored;
        Reach(ignored);
    }
    return true;
}

bool StationLedger::Import(const LedgerOptions& options, std::string& error) {
    if (!local_->Begin(error)) return false;
    auto fail = [this]() {
        local_->Rollback();
        return false;
    };
    // The run log is taken over once, on the station's first use of its
    // database; the state file on the first use of its ledger for serials
    // (a database that kept only records before has not taken it yet).
    Rows rows;
    if (!local_->Run("SELECT count(*) FROM imports WHERE name = 'first use'", {}, &rows, error)) return fail();
    const bool firstUse = ToInt(FirstValue(rows)) == 0;
    rows.clear();
    if (!local_->Run("SELECT count(*) FROM imports WHERE name = 'serials'", {}, &rows, error)) return fail();
    const bool takeState = ToInt(FirstValue(rows)) == 0 && (!options.recordsOnly || firstUse);
    if (!firstUse && !takeState) return local_->Commit(error) || fail();
    const std::string now = std::to_string(Now());
    std::error_code missing;
    std::map<std::string, SerialCounter::Pool> pools;
    std::set<std::string> given;
    std::string damaged;
    bool stateTaken = takeState;
    if (!takeState) {
        // The records alone this time.
    } else if (!options.importState.empty() && std::filesystem::exists(PathFromText(options.importState), missing) &&
        !ReadSerialState(options.importState, pools, given, damaged)) {
        // Without what it holds no serial can be handed out safely: starting
        // afresh could give one twice. Records alone may still be kept.
        if (!options.recordsOnly) {
            error = damaged + "; it is left as it is (mend or move it; starting afresh could give a number twice)";
            return fail();
        }
        notes_.push_back(damaged + ": its serials are not taken over");
        stateTaken = false;
    } else if (!options.importState.empty() && std::filesystem::exists(PathFromText(options.importState), missing)) {
        auto add = [&](const std::string& serial, const std::string& pool, uint64_t index, const char* state) {
            return local_->Run("INSERT INTO serials (serial, pool, idx, state, time, station) VALUES ($1, $2, $3, $4, "
                               "$5, $6)",
                               {serial, pool, std::to_string(index), std::string(state), now, station_}, nullptr,
                               error);
        };
        for (const auto& [name, pool] : pools) {
            const Value lastIndex = pool.last ? Value(std::to_string(pool.last->first)) : Value();
            const Value lastSerial = pool.last ? Value(pool.last->second) : Value();
            if (!local_->Run("INSERT INTO pools (name, next, last_index, last_serial) VALUES ($1, $2, $3, $4)",
                             {name, std::to_string(pool.next), lastIndex, lastSerial}, nullptr, error))
                return fail();
            for (const auto& [index, serial] : pool.free)
                if (!add(serial, name, index, "released")) return fail();
            // Reserved in the file: their runs never finished.
            for (const auto& [index, serial] : pool.reserved) {
                if (!add(serial, name, index, "skipped")) return fail();
                skipped_.push_back(serial);
            }
            for (const auto& [index, serial] : pool.skipped)
                if (!add(serial, name, index, "skipped")) return fail();
        }
        uint64_t index = 0;
        for (const std::string& serial : given)
            if (!add(serial, "given", index++, "committed")) return fail();
        if (!local_->Run("INSERT INTO imports (name, time) VALUES ($1, $2)", {"state:" + options.importState, now},
                         nullptr, error))
            return fail();
    }
    if (stateTaken && !local_->Run("INSERT INTO imports (name, time) VALUES ('serials', $1)", {now}, nullptr, error))
        return fail();
    if (firstUse && !options.importLog.empty() && std::filesystem::exists(PathFromText(options.importLog), missing)) {
        std::ifstream log(PathFromText(options.importLog), std::ios::binary);
        if (!log) {
            error = "cannot read the run log " + options.importLog;
            return fail();
        }
        std::string line;
        uint64_t number = 0;
        while (std::getline(log, line)) {
            ++number;
            RecordRow row;
            std::string reason;
            if (!RowFromLogLine(line, station_, row, reason)) {
                notes_.push_back("line " + std::to_string(number) + " of the run log " + options.importLog +
                                 " is not a record (" + reason + "): left out");
                continue;
            }
            row.id = station_ + "-log-" + std::to_string(number);
            Rows previous;
            if (!local_->Run(std::string("SELECT result FROM records WHERE station = $1 AND ") + kPlace +
                                 " = $2 ORDER BY rowid DESC LIMIT 1",
                             {row.station, row.Place()}, &previous, error))
                return fail();
            row.retry = FirstValue(previous) == Value("failed");
            // A board's serial whose ledger row the state file did not keep
            // (an older state file) is known from its passed record.
            if (!InsertRecord(*local_, row, error)) return fail();
            if (row.serial && row.result == "ok" &&
                !local_->Run("UPDATE serials SET record_id = $2 WHERE serial = $1 AND state = 'committed'",
                             {*row.serial, row.id}, nullptr, error))
                return fail();
        }
        if (!local_->Run("INSERT INTO imports (name, time) VALUES ($1, $2)", {"log:" + options.importLog, now},
                         nullptr, error))
            return fail();
    }
    if (firstUse && !local_->Run("INSERT INTO imports (name, time) VALUES ('first use', $1)", {now}, nullptr, error))
        return fail();
    return local_->Commit(error) || fail();
}

// This station's serials the line still has as reserved that are not in
// its lease were on their way to boards when it stopped: skipped.
bool StationLedger::Recover(std::string& error) {
    Rows leased;
    // Those of the lease, and those on their way to boards now.
    if (!local_->Run("SELECT serial FROM lease UNION SELECT serial FROM serials WHERE state = 'reserved'", {}, &leased,
                     error))
        return false;
    std::string list;
    std::vector<Value> params = {station_};
    for (const Row& row : leased) {
        params.push_back(row[0]);
        list += (list.empty() ? "$" : ", $") + std::to_string(params.size());
    }
    std::string sql = "UPDATE serials SET state = 'skipped' WHERE station = $1 AND state = 'reserved'";
    if (!list.empty()) sql += " AND serial NOT IN (" + list + ")";
    return line_->Run(sql, params, nullptr, error);
}

bool StationLedger::Reach(std::string& error) {
    if (!line_) return true;
    if (!recovered_) {
        if (!MigrateSchema(*line_, LineSchema(), error) || !Flush(error) || !Recover(error)) return false;
        recovered_ = true;
        return true;
    }
    return Flush(error);
}

bool StationLedger::Flush(std::string& error) {
    if (!line_) return true;
    for (;;) {
        // The station database's write lock is held for each item, so two
        // processes of a station never upload the same item at once.
        if (!local_->Begin(error)) return false;
        Rows rows;
        if (!local_->Run("SELECT seq, kind, ref, state, record_id FROM outbox ORDER BY seq LIMIT 1", {}, &rows,
                         error)) {
            local_->Rollback();
            return false;
        }
        if (rows.empty()) return local_->Commit(error) || (local_->Rollback(), false);
        const Row& item = rows[0];
        if (*item[1] == "record") {
            Rows record;
            if (!local_->Run(std::string("SELECT ") + kRecordColumns + " FROM records WHERE id = $1", {item[2]},
                             &record, error) ||
                (!record.empty() && !InsertRecord(*line_, RowFromColumns(record[0]), error))) {
                local_->Rollback();
                return false;
            }
        } else if (!line_->Run("UPDATE serials SET state = $2, record_id = $3, time = $4 WHERE serial = $1 AND "
                               "station = $5 AND state = 'reserved'",
                               {item[2], item[3], item[4], std::to_string(Now()), station_}, nullptr, error)) {
            local_->Rollback();
            return false;
        }
        if (!local_->Run("DELETE FROM outbox WHERE seq = $1", {item[0]}, nullptr, error) || !local_->Commit(error)) {
            local_->Rollback();
            return false;
        }
    }
}

int64_t StationLedger::Queued() {
    Rows rows;
    std::string ignored;
    local_->Run("SELECT count(*) FROM outbox", {}, &rows, ignored);
    return ToInt(FirstValue(rows));
}

int64_t StationLedger::Leased() {
    Rows rows;
    std::string ignored;
    local_->Run("SELECT count(*) FROM lease", {}, &rows, ignored);
    return ToInt(FirstValue(rows));
}

bool StationLedger::TopUpLease(const std::string& pool, uint64_t start, const Render& render, std::string& error) {
    while (Leased() < lease_) {
        SerialReservation serial;
        bool usedUp = false;
        if (!ReserveSerial(*line_, pool, start, render, station_, Now(), serial, usedUp, error)) return usedUp;
        if (!local_->Run("INSERT INTO lease (serial, pool, idx) VALUES ($1, $2, $3)",
                         {serial.text, serial.pool, std::to_string(serial.index)}, nullptr, error)) {
            // Not kept here: the line must not keep it as ours either.
            std::string ignored;
            line_->Run("UPDATE serials SET state = 'skipped' WHERE serial = $1", {serial.text}, nullptr, ignored);
            return false;
        }
    }
    return true;
}

bool StationLedger::Reserve(const std::string& pool, uint64_t start, const Render& render,
                            SerialReservation& reservation, bool& usedUp, std::string& error) {
    usedUp = false;
    if (!local_) {
        error = "the station database is not open";
        return false;
    }
    if (!line_) return ReserveSerial(*local_, pool, start, render, station_, Now(), reservation, usedUp, error);
    std::string unreachable;
    const bool reached = Reach(unreachable) && (lease_ == 0 || TopUpLease(pool, start, render, unreachable));
    if (lease_ == 0) {
        if (!reached || !ReserveSerial(*line_, pool, start, render, station_, Now(), reservation, usedUp, unreachable)) {
            if (usedUp) {
                error = unreachable;
                return false;
            }
            error = unreachable + "; this station holds no lease of serials (--serial-lease N), so it stops "
                                  "rather than risk giving a serial twice";
            return false;
        }
    } else {
        Rows rows;
        if (!local_->Run("SELECT serial, idx FROM lease WHERE pool = $1 ORDER BY idx LIMIT 1", {pool}, &rows, error))
            return false;
        if (rows.empty()) {
            error = reached ? "the line's serial numbers of " + pool + " are used up"
                            : unreachable + ", and this station's lease of serials is used up";
            usedUp = reached;
            return false;
        }
        reservation = {pool, static_cast<uint64_t>(ToInt(rows[0][1])), *rows[0][0]};
    }
    // The station's own ledger keeps the serial too; its key refuses one
    // this station had before, unless it was released.
    if (!local_->Begin(error)) return false;
    Rows kept;
    if (!local_->Run("INSERT INTO serials (serial, pool, idx, state, time, station) VALUES ($1, $2, $3, 'reserved', "
                     "$4, $5) ON CONFLICT (serial) DO UPDATE SET state = 'reserved', time = excluded.time "
                     "WHERE serials.state = 'released' RETURNING serial",
                     {reservation.text, pool, std::to_string(reservation.index), std::to_string(Now()), station_},
                     &kept, error) ||
        !local_->Run("DELETE FROM lease WHERE serial = $1", {reservation.text}, nullptr, error)) {
        local_->Rollback();
        return false;
    }
    if (kept.empty()) {
        local_->Rollback();
        error = "the line gave the serial " + EscapedText(reservation.text) +
                ", which this station handed out before: refused";
        return false;
    }
    return local_->Commit(error) || (local_->Rollback(), false);
}

bool StationLedger::Enqueue(const std::string& kind, const std::string& ref, const Value& state,
                            const Value& recordId, std::string& error) {
    return local_->Run("INSERT INTO outbox (kind, ref, state, record_id) VALUES ($1, $2, $3, $4)",
                       {kind, ref, state, recordId}, nullptr, error);
}

// Ends a change of the station's own database; with a line, what it queued
// goes up at once when the server answers (otherwise later, in order).
bool StationLedger::CommitAndReach(std::string& error) {
    if (!local_->Commit(error)) {
        local_->Rollback();
        return false;
    }
    std::string later;
    if (line_) Reach(later);
    return true;
}

bool StationLedger::Settle(const SerialReservation& reservation, SerialEnd end, const std::string& recordId,
                           std::string& error) {
    if (!local_) {
        error = "the station database is not open";
        return false;
    }
    const std::string state = SerialStateText(end);
    const Value record = recordId.empty() ? Value() : Value(recordId);
    // Its reservation is on the disk already; a power cut that loses this
    // end leaves the serial reserved, which the next start skips.
    if (!local_->BeginUnsynced(error)) return false;
    Rows rows;
    if (!local_->Run("UPDATE serials SET state = $2, record_id = $3, time = $4 WHERE serial = $1 AND "
                     "state = 'reserved' RETURNING serial",
                     {reservation.text, state, record, std::to_string(Now())}, &rows, error) ||
        (line_ && !Enqueue("settle", reservation.text, state, record, error))) {
        local_->Rollback();
        return false;
    }
    if (rows.empty()) {
        local_->Rollback();
        error = "the serial " + EscapedText(reservation.text) + " is not reserved";
        return false;
    }
    return CommitAndReach(error);
}

bool StationLedger::AddRecord(RecordRow& row, std::string& error) {
    if (!local_) {
        error = "the station database is not open";
        return false;
    }
    if (row.id.empty()) row.id = NewRecordId(station_);
    if (row.station.empty()) row.station = station_;
    if (!local_->Begin(error)) return false;
    Rows previous;
    if (!local_->Run(std::string("SELECT result FROM records WHERE station = $1 AND ") + kPlace +
                         " = $2 ORDER BY rowid DESC LIMIT 1",
                     {row.station, row.Place()}, &previous, error)) {
        local_->Rollback();
        return false;
    }
    row.retry = FirstValue(previous) == Value("failed");
    if (!InsertRecord(*local_, row, error) || (line_ && !Enqueue("record", row.id, Value(), Value(), error))) {
        local_->Rollback();
        return false;
    }
    return CommitAndReach(error);
}

void StationLedger::Close() {
    if (!local_) return;
    if (line_) {
        std::string ignored;
        // Only the process that holds the lease returns it: a gang worker
        // sharing the station's database leaves it alone.
        if (Reach(ignored) && !recordsOnly_) {
            Rows leased;
            local_->Run("SELECT serial FROM lease", {}, &leased, ignored);
            for (const Row& row : leased) {
                // Returned to the pool: no board ever had it.
                if (line_->Run("UPDATE serials SET state = 'released' WHERE serial = $1 AND station = $2 AND "
                               "state = 'reserved'",
                               {row[0], station_}, nullptr, ignored))
                    local_->Run("DELETE FROM lease WHERE serial = $1", {row[0]}, nullptr, ignored);
            }
        }
    }
    line_.reset();
    local_.reset();
    lock_.Unlock();
}

}  // namespace vexu::station
