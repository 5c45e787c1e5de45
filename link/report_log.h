// The report log: a field engineer's USB trace. When switched on, every
// feature-report transfer is written to a file, one transfer per line:
// direction, report id, length, every byte in hex, result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexu {

// Opens (truncating) the log file; an empty path switches the log off.
// Returns false when the file cannot be opened.
bool SetReportLog(const std::string& path);
bool ReportLogEnabled();
// direction: "SET" for a written report, "GET" for a fetched one.
void LogReport(const char* direction, const uint8_t* report, size_t length, bool ok);

}  // namespace vexu
