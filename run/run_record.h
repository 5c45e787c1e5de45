// The run log: one line per run, from the window or the command line, for
// the traceability a production line asks for — when, which box, which
// serial-flash chip and FPGA were found, how each step ended and how long
// it took, and the failure text. Each line is one JSON object:
//
//   {"time":"2026-01-01T08:00:00Z","box":"/dev/hidraw3","result":"ok",
//    "fpga":{"result":"ok","seconds":83.412,"id":"0x029121CF"},
//    "eeprom":{"result":"ok","seconds":45.100,"chip":"M25P20"},"failure":""}
//
// A step's result is "ok", "failed", "off" (switched off) or "skipped" (the
// FPGA step before it failed); only a step that ran has "seconds", "id" or
// "chip". "id" is the ID code the engine read, null when no answer of the
// device came back (the box was lost first); "chip" is null when no chip
// was identified. A run that wrote a per-board serial number into the
// serial flash has "serialNumber" (the serial's text) after "failure": the
// serial reserved for the board, in a failed run the one released again.
// The serial-flash step adds "statusBefore" and "statusAfter" (the chip's
// status register, "0x1C") where it read them, and "sfdpChip":true for a
// part that only its SFDP table described.
//
// The log lives in the user's state directory:
// $XDG_STATE_HOME/vexu-programmer/runs.log, or
// ~/.local/state/vexu-programmer/runs.log without XDG_STATE_HOME; on
// Windows %LOCALAPPDATA%\vexu-programmer\runs.log.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/json.h"
#include "platform/json_reader.h"

struct RunStepRecord {
    enum class Outcome { kOff, kSkipped, kOk, kFailed };
    Outcome outcome = Outcome::kOff;
    uint64_t durationUs = 0;  // on the system clock: modelled time on the simulator
};

// "ok", "failed", "off" or "skipped".
const char* RunOutcomeText(RunStepRecord::Outcome outcome);
// The step was performed (ok or failed).
bool StepRan(const RunStepRecord& step);

// What a "program" run wrote into the FPGA's user row: the design's name
// (9 bytes, the last one's top two bits belong to the cycle count), its
// checksum and the count of programming cycles.
struct RunDesign {
    std::string name;  // printable bytes as they are, others as '.'
    uint16_t checksum = 0;
    uint32_t cycles = 0;
};

struct RunRecord {
    int64_t startTime = 0;  // calendar seconds
    std::string version;    // the program's version
    std::string box;        // the box's path as the HID services name it; empty without a box
    std::string location;   // where the box is plugged in (USB port path); empty when unknown
    std::string boxSerial;  // the box's serial string; empty when it has none
    std::string slot;       // a gang station's slot (the box's location); empty otherwise
    RunStepRecord fpga;
    std::optional<uint32_t> fpgaId;  // when the FPGA step ran and read one
    std::string fpgaImageSha256;     // of the FPGA data image used, when the step ran
    std::optional<RunDesign> design;  // when the step programmed the user row
    RunStepRecord eeprom;
    std::optional<std::string> chip;  // when the serial-flash step ran; empty name: none identified
    std::string eepromImageSha256;    // of the serial-flash image used, when the step ran
    uint32_t eepromBytes = 0;         // the image's size, when the step ran
    // The chip's status register before the step erased it and at its end
    // (parts of the chip table; the first boards' chips are not asked), and
    // whether the chip was known by its SFDP table alone.
    std::optional<uint8_t> flashStatusBefore;
    std::optional<uint8_t> flashStatusAfter;
    bool sfdpChip = false;
    bool ok = false;
    std::string failure;  // the run failure text; empty on success
    // The run was cut short by the user (a second Ctrl-C) while it went on:
    // written as "interrupted":true, a member of such records only.
    bool interrupted = false;
    // The serial number written into this board's serial-flash image, when
    // the run was given one.
    std::optional<std::string> serialNumber;
};

// The program's version, as records carry it.
const char* ProgramVersion();

// The record as its log line (without the line end).
std::string FormatRunRecord(const RunRecord& record);
// The record's members added to another object (the command line's result).
void AddRunRecordFields(vexu::JsonObject& object, const RunRecord& record);
// "2026-01-01T08:00:00Z" for calendar seconds.
std::string FormatUtcTime(int64_t seconds);

// Where the log goes; an empty path restores the state-directory default.
// Tests point it into a temporary directory.
void SetRunLogPath(const std::string& path);
std::string RunLogPath();

// Appends the record's line, whole or not at all, creating the directory
// when needed. A log that cannot be written costs a trace line, never the
// run; error then holds one line naming the log and the reason.
bool AppendRunRecord(const RunRecord& record, std::string& error);
// The record as the system journal takes it: MESSAGE, PRIORITY,
// SYSLOG_IDENTIFIER and VEXU_* fields (VEXU_RESULT=failed, VEXU_SLOT=...),
// VEXU_RECORD the whole log line. Each appended record is also sent there.
std::vector<std::pair<std::string, std::string>> RunJournalFields(const RunRecord& record);
bool AppendRunRecord(const RunRecord& record);
// Called with every record appended, after its log line (whether or not
// the line could be written): the station keeps records in its database
// too. Empty: none. Set before the runs start.
void SetRunRecordSink(std::function<void(const RunRecord&)> sink);
// The run log's length in bytes now; 0 when it does not exist yet.
uint64_t RunLogLength();
// The record of this board in the run log, past offset: its slot and its
// serial (none when the board had none); false when there is none. A
// station looks before it writes the record of a worker that ended
// without its result: the worker may have written it just before it died,
// and then the record tells how the board's run ended. A worker left by an
// earlier station on the same slot has another serial.
bool FindBoardRecord(uint64_t offset, const std::string& slot, const std::optional<std::string>& serial,
                     vexu::JsonValue& record);
// Whether a record could be appended now (directory made, file opened for
// appending, nothing written): a station checks before its first board.
bool CheckRunLog(std::string& error);
