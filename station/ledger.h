// The station's ledger of serial numbers and its run records, in its own
// SQLite database, and optionally in a line's shared PostgreSQL database.
//
// Every serial handed out has one row, whose serial is the table's key:
// no serial twice is the database's promise. Its state is reserved (on its
// way to a board), committed (a board passed with it), skipped (a board may
// hold it: never given again) or released (the board certainly never got
// it: free for the next board). Each change is one transaction.
//
// With a line database the serials come from the line's pool, each in one
// short transaction, so stations never wait on another's board. A station
// may hold a lease of serials reserved in advance and go on from it while
// the server cannot be reached; without one it stops then. Its records and
// the ends of its serials are queued in its own database and go up in
// order when the server answers again; a record's id is its key there, so
// an upload repeated after a lost answer makes no second row.
//
//   StationLedger ledger;
//   if (!ledger.Open(options, error)) ...
//   SerialReservation serial;
//   if (!ledger.Reserve("counter", 1, render, serial, usedUp, error)) ...
//   ... program the board ...
//   ledger.AddRecord(row, error);
//   ledger.Settle(serial, SerialEnd::kCommit, row.id, error);
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_lock.h"
#include "run/serial_number.h"
#include "station/database.h"
#include "station/records.h"

namespace vexu::station {

// $XDG_STATE_HOME/vexu-programmer/station.db (%LOCALAPPDATA% on Windows).
std::string DefaultStationDbPath();
// The line database's URI from the environment (VEXU_LINE_DB), or empty.
std::string LineDbFromEnvironment();
// This computer's name: a station's name by default.
std::string DefaultStationName();

struct LedgerOptions {
    std::string path;     // the station's SQLite file; empty: DefaultStationDbPath()
    std::string station;  // empty: DefaultStationName()
    std::string lineDb;   // a PostgreSQL URI; empty: the station alone
    unsigned lease = 0;   // serials reserved in advance from the line
    // Taken over (left where they are): the run log on the first use of
    // the station's database, the serial state file on the first use of
    // its ledger for serials; empty: none. A missing file is nothing to
    // take over; a damaged state file stops a ledger that hands out serials.
    std::string importState;
    std::string importLog;
    // For records only (a gang station's worker, a run without serials
    // from the line): the serials of a station process running beside it
    // are left alone, and no lease is taken.
    bool recordsOnly = false;
};

// The schema of the station's database and of a line's, by version.
const std::vector<std::vector<std::string>>& StationSchema();
const std::vector<std::vector<std::string>>& LineSchema();

class StationLedger {
public:
    // The text of a pool's serial by its index; nothing when the source
    // has none there (used up); empty when the index holds no serial (a
    // serial file's blank line), which is passed over.
    using Render = std::function<std::optional<std::string>(uint64_t index)>;

    StationLedger() = default;
    StationLedger(const StationLedger&) = delete;
    StationLedger& operator=(const StationLedger&) = delete;
    ~StationLedger();

    // Opens (and migrates) the station's database, takes over the state
    // file and run log on first use, skips the serials left reserved by a
    // run that never finished, and connects to the line database when one
    // is given (a server that cannot be reached is no error: the station
    // may go on from its lease and queue).
    bool Open(const LedgerOptions& options, std::string& error);
    // Returns the lease's unused serials to the line when it can be
    // reached (otherwise they stay leased to this station for its next
    // start) and uploads what is queued.
    void Close();

    // The next serial of the pool: a released one first, else the next new
    // index from start on; an index whose serial was handed out before is
    // passed over. usedUp: the source has none left.
    bool Reserve(const std::string& pool, uint64_t start, const Render& render, SerialReservation& reservation,
                 bool& usedUp, std::string& error);
    // The board's run ended: commit, release or skip the serial, naming the
    // board's record.
    bool Settle(const SerialReservation& reservation, SerialEnd end, const std::string& recordId,
                std::string& error);
    // Stores the record (giving it an id when it has none, which is set in
    // row) and queues it for the line.
    bool AddRecord(RecordRow& row, std::string& error);
    // Uploads the queue in order; false (the rest kept) when the line cannot
    // be reached. True at once without a line.
    bool Flush(std::string& error);
    int64_t Queued();
    int64_t Leased();

    // Serials skipped at Open (their runs never finished).
    const std::vector<std::string>& Skipped() const { return skipped_; }
    // Lines of the run log that were not records, at the import.
    const std::vector<std::string>& ImportNotes() const { return notes_; }
    const std::string& Station() const { return station_; }
    Database& Local() { return *local_; }
    Database* Line() { return line_.get(); }

private:
    bool Import(const LedgerOptions& options, std::string& error);
    bool Recover(std::string& error);
    bool Reach(std::string& error);
    bool CommitAndReach(std::string& error);
    bool TopUpLease(const std::string& pool, uint64_t start, const Render& render, std::string& error);
    bool Enqueue(const std::string& kind, const std::string& ref, const Value& state, const Value& recordId,
                 std::string& error);

    vexu::FileLock lock_;
    std::unique_ptr<Database> local_;
    std::unique_ptr<Database> line_;
    std::string station_;
    unsigned lease_ = 0;
    bool recordsOnly_ = false;
    bool recovered_ = false;  // this station's serials on the line settled after a start
    std::vector<std::string> skipped_;
    std::vector<std::string> notes_;
};

// One serial from a database's pool, in one transaction (the ledger's
// building block, also for the line's pool).
bool ReserveSerial(Database& db, const std::string& pool, uint64_t start, const StationLedger::Render& render,
                   const std::string& station, int64_t now, SerialReservation& reservation, bool& usedUp,
                   std::string& error);
const char* SerialStateText(SerialEnd end);

}  // namespace vexu::station
