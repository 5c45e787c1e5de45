// What a line's people ask of the records: yield per day, station, slot
// and box, first-pass yield, the failures that cost most, and the history
// of one serial or of one board. Each answer is a table of typed cells,
// printed as a plain table, CSV or JSON (numbers as numbers, absent values
// as null).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "station/database.h"
#include "station/records.h"

namespace vexu::station {

struct ReportColumn {
    enum class Kind { kText, kInteger, kNumber, kBoolean };  // a boolean cell holds "yes" or "no"
    enum class Shown { kEverywhere, kTextOnly, kJsonOnly };
    std::string title;        // the heading of the table and the CSV
    std::string key;          // the JSON member, camelCase
    Kind kind = Kind::kText;
    std::string absent = "-"; // what the table and the CSV show for an absent cell
    Shown shown = Shown::kEverywhere;
};

struct ReportTable {
    std::string title;   // "yield by day", "history of serial VX0001"
    std::string report;  // the JSON "report" member: yield, failures, serialHistory, boardHistory
    // Text members of the JSON line after "report" ("by":"day", "serial":...).
    std::vector<std::pair<std::string, std::string>> about;
    std::vector<ReportColumn> columns;
    std::vector<std::vector<Value>> rows;  // one cell per column; nothing: absent
    // The last row is the table's total ("all"): in JSON the member "total",
    // without the first column.
    bool lastRowIsTotal = false;
};

// Runs, passes, failures and yield per value of each dimension (day,
// station, slot, box), with the first-pass yield: of the boards' first
// runs (a run right after a failure in the same place is the same board
// tried again), those that passed.
std::vector<ReportTable> YieldTables(const std::vector<RecordRow>& records);
// Failures by step and engine code, the costliest (most time spent on
// failed runs) first.
ReportTable FailureTable(const std::vector<RecordRow>& records);
// Every ledger row and record of one serial, in time order.
bool SerialHistory(Database& db, const std::string& serial, ReportTable& table, std::string& error);
// Every run of one board, in order. The records know a board as the
// yield's first-pass count does: one station's runs in one place (slot,
// else the box's USB location, else the box) from a first run up to the
// run that passed, each one after a failure being the same board tried
// again. The board is named by the id of any of its records, or by a
// serial one of its runs had (the run it passed with first). False with
// the reason when neither names a record.
bool BoardHistory(Database& db, const std::string& board, ReportTable& table, std::string& error);

enum class ReportFormat { kTable, kCsv, kJson };
std::string FormatReport(const std::vector<ReportTable>& tables, ReportFormat format);

// "2026-01-01" (midnight UTC) or "2026-01-01T08:00:00Z" to calendar
// seconds; false when it is neither.
bool ParseReportTime(const std::string& text, int64_t& seconds);

}  // namespace vexu::station
