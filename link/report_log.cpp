#include "link/report_log.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/files.h"

namespace vexu {

namespace {

std::mutex g_logMutex;
int g_logFile = -1;
std::string g_logPath;
std::string g_logFailure;
std::atomic<bool> g_logEnabled{false};

void CloseLog() {
    std::string reason;
    if (g_logFile >= 0 && !CloseAppended(g_logFile, reason) && g_logFailure.empty())
        g_logFailure = "cannot write the report log " + g_logPath + ": " + reason;
    g_logFile = -1;
    g_logEnabled = false;
}

}  // namespace

bool SetReportLog(const std::string& path, std::string& error) {
    std::lock_guard<std::mutex> guard(g_logMutex);
    CloseLog();
    g_logPath = path;
    g_logFailure.clear();
    if (path.empty()) return true;
    // Binary, as every log here: the same bytes on every platform.
    std::string reason;
    g_logFile = OpenForAppend(path, true, reason);
    if (g_logFile < 0) {
        error = "cannot write the report log " + path + ": " + reason;
        return false;
    }
    g_logEnabled = true;
    return true;
}

bool SetReportLog(const std::string& path) {
    std::string error;
    return SetReportLog(path, error);
}

bool ReportLogEnabled() { return g_logEnabled.load(std::memory_order_relaxed); }

void LogReport(const char* direction, const uint8_t* report, size_t length, bool ok) {
    std::lock_guard<std::mutex> guard(g_logMutex);
    if (g_logFile < 0) return;
    char head[64];
    std::snprintf(head, sizeof head, "%s id=%u len=%zu", direction, length ? report[0] : 0u, length);
    std::string line = head;
    for (size_t i = 0; i < length; ++i) {
        char byte[6];
        std::snprintf(byte, sizeof byte, i ? " %02X" : " : %02X", report[i]);
        line += byte;
    }
    line += ok ? " -> OK\n" : " -> FAILED\n";
    std::string reason;
    if (!AppendWhole(g_logFile, line, reason)) {
        g_logFailure = "cannot write the report log " + g_logPath + ": " + reason;
        CloseAppended(g_logFile, reason);
        g_logFile = -1;
        g_logEnabled = false;
    }
}

std::string ReportLogFailure() {
    std::lock_guard<std::mutex> guard(g_logMutex);
    return g_logFailure;
}

}  // namespace vexu
