// A board's run record as the databases keep it: the fields the reports
// group and count by as columns, and the whole record (its run log line)
// beside them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run/run_record.h"
#include "station/database.h"

namespace vexu::station {

struct RecordRow {
    std::string id;         // unique over the line: the station's name and a random part
    int64_t time = 0;       // the run's start, calendar seconds
    std::string day;        // its UTC day, "2026-01-01"
    std::string station;
    std::string slot;       // a gang station's slot; empty otherwise
    std::string box;
    std::string location;
    std::string result;     // "ok" or "failed"
    std::string step;       // the step that failed: "fpga", "eeprom", or "run" (before either ran); empty when ok
    std::string engineCode; // the FPGA engine's code of the failure, else the serial-flash failure text
    std::string failure;
    std::optional<std::string> serial;
    double seconds = 0;     // time spent on the board (both steps)
    bool retry = false;     // the run before it in the same place failed: the same board tried again
    std::string record;     // the whole record as JSON

    // Where the board sat: its slot, else the box's location, else the box.
    std::string Place() const;
};

// The row of a record (its log line); false with the reason when the line
// is not a record.
bool RowFromLogLine(const std::string& line, const std::string& station, RecordRow& row, std::string& error);
RecordRow RowFromRecord(const RunRecord& record, const std::string& station);

// "2026-01-01T08:00:00Z" to calendar seconds; false when it is not such a time.
bool ParseUtcTimeText(const std::string& text, int64_t& seconds);

// A new record id: the station's name and 16 random bytes.
std::string NewRecordId(const std::string& station);

// The columns, in the order InsertRecord and LoadRecords use them.
extern const char* const kRecordColumns;
// Inserts the row; a row of the same id already there is left as it is
// (an upload repeated after a lost answer).
bool InsertRecord(Database& db, const RecordRow& row, std::string& error);
// Records with since <= time < until (either may be absent), in time order.
bool LoadRecords(Database& db, std::optional<int64_t> since, std::optional<int64_t> until,
                 std::vector<RecordRow>& rows, std::string& error);
RecordRow RowFromColumns(const Row& columns);

}  // namespace vexu::station
