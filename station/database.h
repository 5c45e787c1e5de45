// The two databases a station keeps its serials and run records in, behind
// one face: SQLite (the station's own file) and PostgreSQL (a line's shared
// server). Statements are written once, with $1, $2... for their parameters;
// every value goes in and comes out as text (NULL as no value), so the
// ledger and the reports run the same statements on either.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vexu::station {

using Value = std::optional<std::string>;
using Row = std::vector<Value>;
using Rows = std::vector<Row>;

class Database {
public:
    virtual ~Database() = default;
    // One statement; rows (when given) receives its result rows. False with
    // one line naming the database and the reason.
    virtual bool Run(const std::string& sql, const std::vector<Value>& params, Rows* rows, std::string& error) = 0;
    // Starts a transaction that takes the write lock at once (SQLite's
    // BEGIN IMMEDIATE), so two writers never deadlock half way through.
    // Its commit is on the disk when Commit returns.
    virtual bool Begin(std::string& error) = 0;
    // A transaction whose loss in a power cut is safe (a serial's end: the
    // serial stays reserved and is skipped at the next start, never given
    // again). SQLite commits it without waiting for the disk; the next
    // commit that waits (the next reservation) or checkpoint takes it there
    // with everything before it. As Begin on PostgreSQL.
    virtual bool BeginUnsynced(std::string& error) { return Begin(error); }
    virtual bool Commit(std::string& error) { return Run("COMMIT", {}, nullptr, error); }
    // Ends a transaction that failed; nothing of it stays.
    virtual void Rollback();
    virtual bool IsPostgres() const = 0;
    // The connection to the server is gone (always false for SQLite); the
    // next Run tries to connect again.
    virtual bool Lost() const { return false; }
    // Where the database is, for messages (a file path or a server URI
    // without its password).
    virtual std::string Name() const = 0;

    bool RunAll(const std::vector<std::string>& statements, std::string& error);
};

// Opens (creating it and its directory when needed) a SQLite file in WAL
// mode. Nothing on error, which says why.
std::unique_ptr<Database> OpenSqlite(const std::string& path, std::string& error);
// Connects to a PostgreSQL server by its URI (postgresql://... or
// "host=/dir dbname=x"). Nothing on error. A build without the line
// database (Windows) always refuses, with kLineDbUnsupported.
std::unique_ptr<Database> ConnectPostgres(const std::string& uri, std::string& error);
#ifdef VEXU_LINE_DB_SUPPORT
constexpr bool kLineDbSupported = true;
#else
constexpr bool kLineDbSupported = false;
#endif
constexpr const char* kLineDbUnsupported =
    "a line database (--line-db, VEXU_LINE_DB) needs the Linux station: this station keeps its serials and "
    "records in its own database";

// The first value of the first row, or nothing.
Value FirstValue(const Rows& rows);
int64_t ToInt(const Value& value, int64_t otherwise = 0);

// Brings a database's schema to the last version, one transaction per
// step: versions[0] makes version 1 from nothing, versions[k] makes version
// k+1 from version k. A database newer than this program is refused.
bool MigrateSchema(Database& db, const std::vector<std::vector<std::string>>& versions, std::string& error);
// The schema version a database is at (0: none yet).
bool SchemaVersion(Database& db, int64_t& version, std::string& error);

}  // namespace vexu::station
