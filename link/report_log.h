// The report log: a field engineer's USB trace. When switched on, every
// feature-report transfer is written to a file, one transfer per line:
// direction, report id, length, every byte in hex, result.
//
// Each line goes to the file whole or not at all. When a line cannot be
// written (a full disk), the log stops there and keeps the reason, so that
// the command can fail instead of handing over a log with transfers missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexu {

// Opens (truncating) the log file; an empty path closes the log and
// switches it off. Returns false when the file cannot be opened, with the
// reason in error.
bool SetReportLog(const std::string& path, std::string& error);
bool SetReportLog(const std::string& path);
bool ReportLogEnabled();
// direction: "SET" for a written report, "GET" for a fetched one.
void LogReport(const char* direction, const uint8_t* report, size_t length, bool ok);
// Why the log stopped: one line naming the file; empty while every line
// was written.
std::string ReportLogFailure();

}  // namespace vexu
