#include "run/run_record.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "platform/files.h"
#include "platform/journal.h"
#include "platform/json.h"
#include "platform/json_reader.h"
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

std::filesystem::path DefaultLogPath() { return vexu::UserStateDirectory() / "vexu-programmer" / "runs.log"; }

// The log's path: the one set, or the state-directory default.
std::filesystem::path LogPath(const std::string& set) {
    return set.empty() ? DefaultLogPath() : std::filesystem::path(set);
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

const char* ProgramVersion() { return VEXU_VERSION; }

namespace {

// A status register as the record keeps it: "0x1C".
std::string StatusText(uint8_t status) {
    char text[8];
    snprintf(text, sizeof text, "0x%02X", status);
    return text;
}

std::string IdText(uint32_t id) {
    char text[16];
    snprintf(text, sizeof text, "0x%08" PRIX32, id);
    return text;
}

std::string ChecksumText(uint16_t checksum) {
    char text[8];
    snprintf(text, sizeof text, "0x%04X", checksum);
    return text;
}

void TextOrNull(vexu::JsonObject& object, const char* key, const std::string& value) {
    if (value.empty())
        object.Null(key);
    else
        object.Text(key, value);
}

}  // namespace

void AddRunRecordFields(vexu::JsonObject& object, const RunRecord& record) {
    vexu::JsonObject fpga = StepObject(record.fpga);
    if (StepRan(record.fpga)) {
        if (record.fpgaId)
            fpga.Text("id", IdText(*record.fpgaId));
        else
            fpga.Null("id");
        TextOrNull(fpga, "imageSha256", record.fpgaImageSha256);
        if (record.design) {
            fpga.Raw("design", vexu::JsonObject()
                                   .Text("name", record.design->name)
                                   .Text("checksum", ChecksumText(record.design->checksum))
                                   .Number("cycles", record.design->cycles)
                                   .Str());
        } else {
            fpga.Null("design");
        }
    }
    vexu::JsonObject eeprom = StepObject(record.eeprom);
    if (StepRan(record.eeprom)) {
        if (record.chip) TextOrNull(eeprom, "chip", *record.chip);
        eeprom.Number("bytes", record.eepromBytes);
        TextOrNull(eeprom, "imageSha256", record.eepromImageSha256);
        if (record.flashStatusBefore) eeprom.Text("statusBefore", StatusText(*record.flashStatusBefore));
        if (record.flashStatusAfter) eeprom.Text("statusAfter", StatusText(*record.flashStatusAfter));
        if (record.sfdpChip) eeprom.Bool("sfdpChip", true);
    }
    object.Text("time", FormatUtcTime(record.startTime))
        .Text("box", record.box)
        .Text("result", record.ok ? "ok" : "failed")
        .Raw("fpga", fpga.Str())
        .Raw("eeprom", eeprom.Str())
        .Text("failure", record.failure);
    if (record.serialNumber) object.Text("serialNumber", *record.serialNumber);
    if (record.interrupted) object.Bool("interrupted", true);
    object.Text("version", record.version);
    TextOrNull(object, "location", record.location);
    TextOrNull(object, "boxSerial", record.boxSerial);
    if (!record.slot.empty()) object.Text("slot", record.slot);
}

std::vector<std::pair<std::string, std::string>> RunJournalFields(const RunRecord& record) {
    std::vector<std::pair<std::string, std::string>> fields;
    auto add = [&fields](const char* name, const std::string& value) {
        if (!value.empty()) fields.emplace_back(name, value);
    };
    std::string message = std::string("run ") + (record.ok ? "passed" : "failed");
    if (!record.slot.empty()) message += " in slot " + record.slot;
    if (!record.box.empty()) message += " on " + record.box;
    if (!record.ok && !record.failure.empty()) message += ": " + record.failure;
    add("MESSAGE", message);
    add("PRIORITY", record.ok ? "6" : "3");
    add("SYSLOG_IDENTIFIER", "vexu-programmer");
    add("VEXU_RESULT", record.ok ? "ok" : "failed");
    add("VEXU_VERSION", record.version);
    add("VEXU_BOX", record.box);
    add("VEXU_LOCATION", record.location);
    add("VEXU_BOX_SERIAL", record.boxSerial);
    add("VEXU_SLOT", record.slot);
    add("VEXU_FPGA_RESULT", RunOutcomeText(record.fpga.outcome));
    if (StepRan(record.fpga) && record.fpgaId) add("VEXU_FPGA_ID", IdText(*record.fpgaId));
    if (StepRan(record.fpga)) add("VEXU_FPGA_IMAGE_SHA256", record.fpgaImageSha256);
    if (record.design) {
        add("VEXU_DESIGN_NAME", record.design->name);
        add("VEXU_DESIGN_CHECKSUM", ChecksumText(record.design->checksum));
        add("VEXU_DESIGN_CYCLES", std::to_string(record.design->cycles));
    }
    add("VEXU_EEPROM_RESULT", RunOutcomeText(record.eeprom.outcome));
    if (StepRan(record.eeprom)) {
        if (record.chip) add("VEXU_EEPROM_CHIP", *record.chip);
        add("VEXU_EEPROM_BYTES", std::to_string(record.eepromBytes));
        add("VEXU_EEPROM_IMAGE_SHA256", record.eepromImageSha256);
        if (record.flashStatusBefore) add("VEXU_EEPROM_STATUS_BEFORE", StatusText(*record.flashStatusBefore));
        if (record.flashStatusAfter) add("VEXU_EEPROM_STATUS_AFTER", StatusText(*record.flashStatusAfter));
        if (record.sfdpChip) add("VEXU_EEPROM_SFDP_CHIP", "1");
    }
    if (record.serialNumber) add("VEXU_SERIAL_NUMBER", *record.serialNumber);
    add("VEXU_FAILURE", record.failure);
    if (record.interrupted) add("VEXU_INTERRUPTED", "1");
    add("VEXU_RECORD", FormatRunRecord(record));
    return fields;
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
    return vexu::PathText(LogPath(g_logPath));
}

namespace {

// Opens the log for appending, making its directory first. -1 with error
// set when it cannot be had.
int OpenLog(const std::filesystem::path& path, std::string& error) {
    std::error_code made;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), made);
    std::string reason;
    const int fd = vexu::OpenForAppend(path, false, reason);
    if (fd < 0) {
        // A missing directory that could not be made is the better reason.
        error = "cannot write the run log " + vexu::PathText(path) + ": " + (made ? made.message() : reason);
    }
    return fd;
}

}  // namespace

namespace {
std::function<void(const RunRecord&)> g_recordSink;
}  // namespace

void SetRunRecordSink(std::function<void(const RunRecord&)> sink) { g_recordSink = std::move(sink); }

bool AppendRunRecord(const RunRecord& record, std::string& error) {
    const std::string line = FormatRunRecord(record) + "\n";
    std::lock_guard<std::mutex> guard(g_logMutex);
    const std::filesystem::path path = LogPath(g_logPath);
    const int fd = OpenLog(path, error);
    bool ok = fd >= 0;
    std::string reason;
    if (ok && !vexu::AppendWhole(fd, line, reason)) {
        error = "cannot write the run log " + vexu::PathText(path) + ": " + reason;
        ok = false;
    }
    if (fd >= 0 && !vexu::CloseAppended(fd, reason) && ok) {
        error = "cannot write the run log " + vexu::PathText(path) + ": " + reason;
        ok = false;
    }
    if (!ok) vexu::Trace("Run log " + vexu::PathText(path) + " cannot be written.\r\n");
    // The journal has it too where one runs; the file is the record that counts.
    vexu::SendToJournal(RunJournalFields(record));
    if (g_recordSink) g_recordSink(record);
    return ok;
}

bool AppendRunRecord(const RunRecord& record) {
    std::string error;
    return AppendRunRecord(record, error);
}

bool CheckRunLog(std::string& error) {
    std::lock_guard<std::mutex> guard(g_logMutex);
    const int fd = OpenLog(LogPath(g_logPath), error);
    if (fd < 0) return false;
    std::string reason;
    vexu::CloseAppended(fd, reason);
    return true;
}

uint64_t RunLogLength() {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(RunLogPath(), error);
    return error ? 0 : static_cast<uint64_t>(size);
}

bool FindBoardRecord(uint64_t offset, const std::string& slot, const std::optional<std::string>& serial,
                     vexu::JsonValue& record) {
    std::FILE* file = vexu::OpenFile(RunLogPath(), "rb");
    if (!file) return false;
    std::string text;
    if (std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0) {
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
    }
    std::fclose(file);
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string error;
        if (!vexu::ParseJson(text.substr(at, end - at), record, error) ||
            record.kind != vexu::JsonValue::Kind::kObject || record["slot"].text != slot ||
            record.Has("serialNumber") != serial.has_value() || (serial && record["serialNumber"].text != *serial))
            continue;
        return true;
    }
    return false;
}
