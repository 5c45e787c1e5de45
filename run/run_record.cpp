#include "run/run_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <mutex>

#include "platform/files.h"
#include "platform/json.h"
#include "platform/trace.h"

namespace {

std::mutex g_logMutex;
std::string g_logPath;  // empty: the state-directory default

vexu::JsonObject StepObject(const RunStepRecord& step) {
    vexu::JsonObject object;
    object.Text("result", RunOutcomeText(step.outcome));
    if (StepRan(step)) object.Real("seconds", static_cast<double>(step.durationUs) / 1e6);
    return object;
}

std::string DefaultLogPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::filesystem::path directory;
    // A relative XDG_STATE_HOME is invalid and to be ignored.
    if (state && state[0] == '/') {
        directory = state;
    } else {
        const char* home = std::getenv("HOME");
        directory = std::filesystem::path(home && home[0] ? home : ".") / ".local" / "state";
    }
    return (directory / "vexu-programmer" / "runs.log").string();
}

}  // namespace

const char* RunOutcomeText(RunStepRecord::Outcome outcome) {
    switch (outcome) {
        case RunStepRecord::Outcome::kOff: return "off";
        case RunStepRecord::Outcome::kSkipped: return "skipped";
        case RunStepRecord::Outcome::kOk: return "ok";
        case RunStepRecord::Outcome::kFailed: return "failed";
    }
    return "off";
}

bool StepRan(const RunStepRecord& step) {
    return step.outcome == RunStepRecord::Outcome::kOk || step.outcome == RunStepRecord::Outcome::kFailed;
}

std::string FormatUtcTime(int64_t seconds) {
    using namespace std::chrono;
    const sys_seconds time{std::chrono::seconds(seconds)};
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss<std::chrono::seconds> clock{time - day};
    char text[40];
    snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
             static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
             static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
             static_cast<int>(clock.seconds().count()));
    return text;
}

void AddRunRecordFields(vexu::JsonObject& object, const RunRecord& record) {
    vexu::JsonObject fpga = StepObject(record.fpga);
    if (StepRan(record.fpga) && record.fpgaId) {
        char id[16];
        snprintf(id, sizeof id, "0x%08" PRIX32, *record.fpgaId);
        fpga.Text("id", id);
    } else if (StepRan(record.fpga)) {
        fpga.Null("id");
    }
    vexu::JsonObject eeprom = StepObject(record.eeprom);
    if (StepRan(record.eeprom) && record.chip) {
        if (record.chip->empty())
            eeprom.Null("chip");
        else
            eeprom.Text("chip", *record.chip);
    }
    object.Text("time", FormatUtcTime(record.startTime))
        .Text("box", record.box)
        .Text("result", record.ok ? "ok" : "failed")
        .Raw("fpga", fpga.Str())
        .Raw("eeprom", eeprom.Str())
        .Text("failure", record.failure);
    if (record.serialNumber) object.Text("serialNumber", *record.serialNumber);
    if (record.interrupted) object.Bool("interrupted", true);
}

std::string FormatRunRecord(const RunRecord& record) {
    vexu::JsonObject object;
    AddRunRecordFields(object, record);
    return object.Str();
}

void SetRunLogPath(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_logMutex);
    g_logPath = path;
}

std::string RunLogPath() {
    std::lock_guard<std::mutex> guard(g_logMutex);
    return g_logPath.empty() ? DefaultLogPath() : g_logPath;
}

namespace {

// Opens the log for appending, making its directory first. -1 with error
// set when it cannot be had.
int OpenLog(const std::filesystem::path& path, std::string& error) {
    std::error_code made;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), made);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        // A missing directory that could not be made is the better reason.
        const int reason = made ? made.value() : errno;
        error = "cannot write the run log " + path.string() + ": " + std::strerror(reason);
    }
    return fd;
}

}  // namespace

bool AppendRunRecord(const RunRecord& record, std::string& error) {
    const std::string line = FormatRunRecord(record) + "\n";
    std::lock_guard<std::mutex> guard(g_logMutex);
    const std::filesystem::path path = g_logPath.empty() ? DefaultLogPath() : g_logPath;
    const int fd = OpenLog(path, error);
    bool ok = fd >= 0;
    std::string reason;
    if (ok && !vexu::AppendWhole(fd, line, reason)) {
        error = "cannot write the run log " + path.string() + ": " + reason;
        ok = false;
    }
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        error = "cannot write the run log " + path.string() + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok) vexu::Trace("Run log " + path.string() + " cannot be written.\r\n");
    return ok;
}

bool AppendRunRecord(const RunRecord& record) {
    std::string error;
    return AppendRunRecord(record, error);
}

bool CheckRunLog(std::string& error) {
    std::lock_guard<std::mutex> guard(g_logMutex);
    const int fd = OpenLog(g_logPath.empty() ? DefaultLogPath() : g_logPath, error);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}
