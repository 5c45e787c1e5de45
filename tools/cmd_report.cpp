// vexu-cli report: the station's or the line's records and serials as
// tables. Parsing and printing only; the queries are the station layer's.
#include <cstdio>
#include <filesystem>
#include <tuple>
#include <utility>

#include "platform/files.h"
#include "station/ledger.h"
#include "station/report.h"
#include "tools/cli.h"

namespace vexu::cli {

int RunReport(const ReportOptions& options) {
    using namespace vexu::station;
    ReportFormat format = ReportFormat::kTable;
    if (options.format == "csv")
        format = ReportFormat::kCsv;
    else if (options.format == "json")
        format = ReportFormat::kJson;
    else if (options.format != "table") {
        fprintf(stderr, "--format is table, csv or json, not %s\n", options.format.c_str());
        return kExitUsage;
    }
    std::optional<int64_t> since, until;
    for (const auto& [name, text, value] : {std::tuple{"--since", &options.since, &since},
                                           std::tuple{"--until", &options.until, &until}}) {
        if (text->empty()) continue;
        int64_t seconds = 0;
        if (!ParseReportTime(*text, seconds)) {
            fprintf(stderr, "%s takes a day (2026-01-31) or a UTC time (2026-01-31T08:00:00Z), not %s\n", name,
                    text->c_str());
            return kExitUsage;
        }
        *value = seconds;
    }
    if (options.what == "history" && options.serial.empty() == options.board.empty()) {
        fprintf(stderr, "report history needs --serial or --board (one of them)\n");
        return kExitUsage;
    }
    for (const auto& [name, given] : {std::pair{"--serial", &options.serial}, std::pair{"--board", &options.board}})
        if (options.what != "history" && !given->empty()) {
            fprintf(stderr, "%s is for report history\n", name);
            return kExitUsage;
        }

    std::string error;
    std::unique_ptr<Database> db;
    const std::string lineDb = options.lineDb.empty() ? LineDbFromEnvironment() : options.lineDb;
    if (!lineDb.empty()) {
        db = ConnectPostgres(lineDb, error);
        if (db && db->Lost()) db.reset();
    } else {
        const std::string path = options.stationDb.empty() ? DefaultStationDbPath() : options.stationDb;
        std::error_code missing;
        if (!std::filesystem::exists(PathFromText(path), missing)) {
            fprintf(stderr, "no station database at %s: this station has stored no records yet\n", path.c_str());
            return kExitFailed;
        }
        db = OpenSqlite(path, error);
        // An older station database is brought to the schema the queries read.
        if (db && !MigrateSchema(*db, StationSchema(), error)) db.reset();
    }
    if (!db) {
        fprintf(stderr, "%s\n", error.c_str());
        return kExitFailed;
    }

    std::vector<ReportTable> tables;
    if (options.what == "history") {
        ReportTable table;
        if (!(options.board.empty() ? SerialHistory(*db, options.serial, table, error)
                                    : BoardHistory(*db, options.board, table, error))) {
            fprintf(stderr, "%s\n", error.c_str());
            return kExitFailed;
        }
        tables.push_back(std::move(table));
    } else {
        std::vector<RecordRow> records;
        if (!LoadRecords(*db, since, until, records, error)) {
            fprintf(stderr, "%s\n", error.c_str());
            return kExitFailed;
        }
        if (options.what == "yield" || options.what == "all") tables = YieldTables(records);
        if (options.what == "failures" || options.what == "all") tables.push_back(FailureTable(records));
    }
    fputs(FormatReport(tables, format).c_str(), stdout);
    return kExitOk;
}

}  // namespace vexu::cli
