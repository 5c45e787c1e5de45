#include "link/report_log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace vexu {

namespace {

std::mutex g_logMutex;
FILE* g_logFile = nullptr;
std::atomic<bool> g_logEnabled{false};

}  // namespace

bool SetReportLog(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_logMutex);
    if (g_logFile) fclose(g_logFile);
    g_logFile = nullptr;
    // Binary: the same bytes on every platform ("\n" line ends).
    if (!path.empty()) g_logFile = fopen(path.c_str(), "wb");
    g_logEnabled = g_logFile != nullptr;
    return path.empty() || g_logFile != nullptr;
}

bool ReportLogEnabled() { return g_logEnabled.load(std::memory_order_relaxed); }

void LogReport(const char* direction, const uint8_t* report, size_t length, bool ok) {
    std::lock_guard<std::mutex> guard(g_logMutex);
    if (!g_logFile) return;
    fprintf(g_logFile, "%s id=%u len=%zu", direction, length ? report[0] : 0u, length);
    for (size_t i = 0; i < length; ++i) fprintf(g_logFile, i ? " %02X" : " : %02X", report[i]);
    fprintf(g_logFile, " -> %s\n", ok ? "OK" : "FAILED");
    fflush(g_logFile);
}

}  // namespace vexu
