#include "station/database.h"

#ifdef VEXU_LINE_DB_SUPPORT
#include <libpq-fe.h>
#endif
#include <sqlite3.h>

#include <cctype>
#include <filesystem>
#include <unordered_map>

#include "platform/file_lock.h"

#include "platform/files.h"

namespace vexu::station {

void Database::Rollback() {
    std::string ignored;
    Run("ROLLBACK", {}, nullptr, ignored);
}

bool Database::RunAll(const std::vector<std::string>& statements, std::string& error) {
    for (const std::string& sql : statements)
        if (!Run(sql, {}, nullptr, error)) return false;
    return true;
}

Value FirstValue(const Rows& rows) {
    if (rows.empty() || rows.front().empty()) return std::nullopt;
    return rows.front().front();
}

int64_t ToInt(const Value& value, int64_t otherwise) {
    if (!value || value->empty()) return otherwise;
    try {
        return std::stoll(*value);
    } catch (...) {
        return otherwise;
    }
}

namespace {

// $N becomes ?N: SQLite's numbered parameters.
std::string SqliteParameters(const std::string& sql) {
    std::string out;
    for (size_t i = 0; i < sql.size(); ++i) {
        if (sql[i] == '$' && i + 1 < sql.size() && std::isdigit(static_cast<unsigned char>(sql[i + 1])))
            out += '?';
        else
            out += sql[i];
    }
    return out;
}

class Sqlite final : public Database {
public:
    Sqlite(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    ~Sqlite() override {
        for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
        sqlite3_close_v2(db_);
    }

    bool Run(const std::string& sql, const std::vector<Value>& params, Rows* rows, std::string& error) override {
        // The ledger runs the same few statements for every board: each is
        // prepared once and kept, reset after every use.
        sqlite3_stmt* statement = nullptr;
        const auto kept = statements_.find(sql);
        if (kept != statements_.end()) {
            statement = kept->second;
        } else if (sqlite3_prepare_v2(db_, SqliteParameters(sql).c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            return Fail(error);
        }
        for (size_t i = 0; i < params.size(); ++i) {
            const int at = static_cast<int>(i + 1);
            if (params[i])
                sqlite3_bind_text(statement, at, params[i]->data(), static_cast<int>(params[i]->size()),
                                  SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(statement, at);
        }
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            if (!rows) continue;
            Row row;
            for (int c = 0; c < sqlite3_column_count(statement); ++c) {
                if (sqlite3_column_type(statement, c) == SQLITE_NULL) {
                    row.emplace_back();
                    continue;
                }
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
                row.emplace_back(std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, c))));
            }
            rows->push_back(std::move(row));
        }
        const bool done = step == SQLITE_DONE;
        if (!done) Fail(error);
        // A pragma does its work as it is prepared: never kept.
        if (kept == statements_.end() && (statements_.size() >= kKeptStatements || sql.rfind("PRAGMA", 0) == 0)) {
            sqlite3_finalize(statement);
        } else {
            sqlite3_reset(statement);
            sqlite3_clear_bindings(statement);
            if (kept == statements_.end()) statements_.emplace(sql, statement);
        }
        return done;
    }
    // Writers of this database, in this process or another, queue on the
    // writer's lock file, each woken by the system as the one before ends:
    // none sleeps on a guess while the database stands idle. SQLite's own
    // wait (the busy timeout) remains for a writer that does not queue.
    bool Begin(std::string& error) override {
        std::string reason;
        if (!writer_.Wait(PathFromText(path_ + "-writer"), reason)) {
            error = "the station database " + path_ + ": cannot lock " + path_ + "-writer: " + reason;
            EndTransaction();
            return false;
        }
        if (!Run("BEGIN IMMEDIATE", {}, nullptr, error)) {
            EndTransaction();
            return false;
        }
        return true;
    }
    // In WAL mode, synchronous=NORMAL keeps the database whole through a
    // power cut and loses at most the commits since the last one that
    // waited for the disk.
    bool BeginUnsynced(std::string& error) override {
        if (!Run("PRAGMA synchronous=NORMAL", {}, nullptr, error)) return false;
        unsynced_ = true;
        return Begin(error);
    }
    bool Commit(std::string& error) override {
        const bool committed = Run("COMMIT", {}, nullptr, error);
        // A commit that failed may have left the transaction open for the
        // caller's Rollback.
        if (committed || sqlite3_get_autocommit(db_)) EndTransaction();
        return committed;
    }
    void Rollback() override {
        Database::Rollback();
        EndTransaction();
    }
    bool IsPostgres() const override { return false; }
    std::string Name() const override { return path_; }

private:
    static constexpr size_t kKeptStatements = 64;

    void EndTransaction() {
        if (unsynced_) {
            std::string ignored;
            Run("PRAGMA synchronous=FULL", {}, nullptr, ignored);
            unsynced_ = false;
        }
        writer_.Unlock();
    }
    bool Fail(std::string& error) {
        error = "the station database " + path_ + ": " + sqlite3_errmsg(db_);
        return false;
    }
    sqlite3* db_;
    std::string path_;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
    vexu::FileLock writer_;
    bool unsynced_ = false;
};

#ifdef VEXU_LINE_DB_SUPPORT
// The URI without a password, for messages.
std::string PublicName(const std::string& uri) {
    const size_t scheme = uri.find("://");
    const size_t at = uri.find('@');
    if (scheme == std::string::npos || at == std::string::npos) return uri;
    const size_t colon = uri.find(':', scheme + 3);
    if (colon == std::string::npos || colon > at) return uri;
    return uri.substr(0, colon) + uri.substr(at);
}

class Postgres final : public Database {
public:
    Postgres(PGconn* conn, std::string uri) : conn_(conn), uri_(std::move(uri)) {}
    ~Postgres() override { PQfinish(conn_); }

    bool Run(const std::string& sql, const std::vector<Value>& params, Rows* rows, std::string& error) override {
        if (PQstatus(conn_) != CONNECTION_OK) {
            PQreset(conn_);
            if (PQstatus(conn_) != CONNECTION_OK) return Fail(error);
        }
        std::vector<const char*> values;
        for (const Value& value : params) values.push_back(value ? value->c_str() : nullptr);
        PGresult* result = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                        values.data(), nullptr, nullptr, 0);
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            error = "the line database " + Name() + ": " + Trimmed(PQresultErrorMessage(result));
            PQclear(result);
            if (PQstatus(conn_) != CONNECTION_OK) error = "the line database " + Name() + " cannot be reached";
            return false;
        }
        if (rows) {
            for (int r = 0; r < PQntuples(result); ++r) {
                Row row;
                for (int c = 0; c < PQnfields(result); ++c) {
                    if (PQgetisnull(result, r, c))
                        row.emplace_back();
                    else
                        row.emplace_back(std::string(PQgetvalue(result, r, c),
                                                     static_cast<size_t>(PQgetlength(result, r, c))));
                }
                rows->push_back(std::move(row));
            }
        }
        PQclear(result);
        return true;
    }
    bool Begin(std::string& error) override { return Run("BEGIN", {}, nullptr, error); }
    bool IsPostgres() const override { return true; }
    bool Lost() const override { return PQstatus(conn_) != CONNECTION_OK; }
    std::string Name() const override { return PublicName(uri_); }

private:
    static std::string Trimmed(std::string text) {
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
        const size_t line = text.find('\n');
        return line == std::string::npos ? text : text.substr(0, line);
    }
    bool Fail(std::string& error) {
        error = "the line database " + Name() + " cannot be reached: " + Trimmed(PQerrorMessage(conn_));
        return false;
    }
    PGconn* conn_;
    std::string uri_;
};

// libpq's notices (NOTICE: relation exists...) are not the user's business.
void QuietNotices(void*, const PGresult*) {}
#endif

}  // namespace

std::unique_ptr<Database> OpenSqlite(const std::string& path, std::string& error) {
    std::error_code made;
    const std::filesystem::path parent = PathFromText(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, made);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        error = "cannot open the station database " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close_v2(db);
        return nullptr;
    }
    // Writers of other processes (a gang station's, a report) wait their
    // turn rather than fail at once.
    sqlite3_busy_timeout(db, 10000);
    auto database = std::make_unique<Sqlite>(db, path);
    if (!database->RunAll({"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", "PRAGMA foreign_keys=ON"}, error))
        return nullptr;
    return database;
}

std::unique_ptr<Database> ConnectPostgres(const std::string& uri, std::string& error) {
#ifndef VEXU_LINE_DB_SUPPORT
    (void)uri;
    error = kLineDbUnsupported;
    return nullptr;
#else
    PGconn* conn = PQconnectdb(uri.c_str());
    if (!conn) {
        error = "cannot connect to the line database: out of memory";
        return nullptr;
    }
    PQsetNoticeReceiver(conn, QuietNotices, nullptr);
    auto database = std::make_unique<Postgres>(conn, uri);
    if (PQstatus(conn) != CONNECTION_OK) {
        std::string reason = PQerrorMessage(conn);
        while (!reason.empty() && std::isspace(static_cast<unsigned char>(reason.back()))) reason.pop_back();
        error = "the line database " + database->Name() + " cannot be reached: " + reason;
        // Kept: the station may go on from its lease and its queue.
    }
    return database;
#endif
}

bool SchemaVersion(Database& db, int64_t& version, std::string& error) {
    Rows rows;
    const std::string exists = db.IsPostgres()
                                   ? "SELECT count(*) FROM information_schema.tables WHERE table_name = 'schema_version'"
                                   : "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'";
    if (!db.Run(exists, {}, &rows, error)) return false;
    if (ToInt(FirstValue(rows)) == 0) {
        version = 0;
        return true;
    }
    rows.clear();
    if (!db.Run("SELECT max(version) FROM schema_version", {}, &rows, error)) return false;
    version = ToInt(FirstValue(rows));
    return true;
}

bool MigrateSchema(Database& db, const std::vector<std::vector<std::string>>& versions, std::string& error) {
    for (;;) {
        if (!db.Begin(error)) return false;
        // Several stations starting at once on one server: one migrates,
        // the others wait for it and find the work done.
        if (db.IsPostgres() && !db.Run("SELECT pg_advisory_xact_lock(7236101)", {}, nullptr, error)) {
            db.Rollback();
            return false;
        }
        int64_t version = 0;
        if (!SchemaVersion(db, version, error)) {
            db.Rollback();
            return false;
        }
        if (version > static_cast<int64_t>(versions.size())) {
            db.Rollback();
            error = db.Name() + " has schema version " + std::to_string(version) + ", newer than this program's " +
                    std::to_string(versions.size()) + ": use a newer program";
            return false;
        }
        if (version == static_cast<int64_t>(versions.size())) return db.Commit(error);
        std::vector<std::string> step = versions[static_cast<size_t>(version)];
        if (version == 0) step.push_back("CREATE TABLE schema_version (version INTEGER NOT NULL)");
        step.push_back("INSERT INTO schema_version (version) VALUES (" + std::to_string(version + 1) + ")");
        if (!db.RunAll(step, error) || !db.Commit(error)) {
            db.Rollback();
            error = "cannot bring " + db.Name() + " to schema version " + std::to_string(version + 1) + ": " + error;
            return false;
        }
    }
}

}  // namespace vexu::station
