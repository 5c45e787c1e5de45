// What a line's people ask of the records: yield per day, station, slot
// and box, first-pass yield, the failures that cost most, and the history
// of one serial. Each answer is a table of texts, printed as a plain
// table, CSV or JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "station/database.h"
#include "station/records.h"

namespace vexu::station {

struct ReportTable {
    std::string title;
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
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

enum class ReportFormat { kTable, kCsv, kJson };
std::string FormatReport(const std::vector<ReportTable>& tables, ReportFormat format);

// "2026-01-01" (midnight UTC) or "2026-01-01T08:00:00Z" to calendar
// seconds; false when it is neither.
bool ParseReportTime(const std::string& text, int64_t& seconds);

}  // namespace vexu::station
