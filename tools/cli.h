// The command line's shared pieces: global options and the commands, each a
// plain function over the same library calls the window uses. Only
// cli_main.cpp sees CLI11.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/hid_backend.h"
#include "run/eeprom_job.h"

namespace vexu::sim {
struct SimulatorOptions;
}

namespace vexu::cli {

// Exit status of every command.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitNoBox = 3,
    kExitBoxInUse = 4,     // the box is there, held by another program
    kExitBoxDenied = 5,    // the box is there, this user may not open it
};

struct GlobalOptions {
    bool trace = false;
    std::string reportLog;
    bool simulate = false;
    std::string simulateKeys;  // KEY=VALUE,... after --simulate=
    bool json = false;         // one JSON object per line on stdout
    std::string fpgaImage;     // plain FPGA data image; empty: the embedded one
    std::string eepromImage;   // plain serial-flash image; empty: the embedded one
    std::string box;           // the box to use, by its path; empty: the first free one
};

// The HID services the options ask for: the simulated box or hidapi.
// Returns null and writes the reason to error when they cannot be had.
// simulator receives the simulator's own choices when it is the simulator.
std::unique_ptr<HidBackend> MakeBackend(const GlobalOptions& options, std::string& error,
                                        sim::SimulatorOptions* simulator = nullptr);
// Whether the --simulate keys make a simulated box and board; false with
// the reason (a usage error) when they do not.
bool CheckSimulateKeys(const std::string& keys, std::string& error);
// The --simulate option's help: what it does and every scenario key.
std::string SimulateHelp();
// One line on the simulated box's traffic and modelled time; empty for a
// real box.
std::string SimulationSummary(HidBackend& backend);

int RunList(const GlobalOptions& options);

// "image info FILE": the data image's header, directory, flags, device and
// CRC, with findings. Fails (1) when a finding is an error.
//
// The file commands (image, settings) print their text for a person; with
// --json they print instead one result line that carries the text as
// "report".
int RunImageInfo(const GlobalOptions& options, const std::string& file);

// "image build": every value is the text the user gave; empty means "not given".
struct ImageBuildOptions {
    std::string output;
    bool demo = false;        // start from the demo image's parts
    bool noSecurity = false;  // leave the security settings (user lock bits, pass key) out
    std::string idCode;
    std::string variant;
    std::string boundaryScanFile;
    std::string arrayFile;  // every row, plain, in the order programmed
    std::string rlockFile;
    std::string flashRomMask;
    std::string flashRomFile;  // 8 pages of 16 bytes, page 0 first
    std::string silsig;
    std::string designName;
    std::string designChecksum;
    std::string userLock;
    std::string passKey;  // 32 hex digits, first byte first
    std::string aesKey;
    std::string encryptionKey;  // the device's key, when the image does not program one
    std::vector<std::string> nvmSegments;  // BLOCK:ADDRESS:PAGEVALUE:FILE (FILE: little-endian words)
    std::vector<std::string> encrypt;      // array, flashrom, nvm0 .. nvm3
    std::string supportFlags;
};
int RunImageBuild(const GlobalOptions& global, const ImageBuildOptions& options);

// "image scramble IN OUT" / "image unscramble IN OUT": the stored form of
// an embedded image and back.
int RunImageScramble(const GlobalOptions& options, const std::string& input, const std::string& output,
                     bool scramble);

// "settings write [FILE]", "settings set FILE FIELD VALUE", "settings show FILE".
int RunSettingsWrite(const GlobalOptions& options, const std::string& file);
int RunSettingsSet(const GlobalOptions& options, const std::string& file, const std::string& field,
                   const std::string& value);
int RunSettingsShow(const GlobalOptions& options, const std::string& file);

// vexu-cli report: yield, failures or one serial's history from the
// station's database or the line's.
struct ReportOptions {
    std::string what = "all";  // all, yield, failures, history
    std::string serial;        // history: the serial
    std::string board;         // history: a board, by a record id or a serial of its runs
    std::string since, until;  // a day or a UTC time
    std::string format = "table";
    std::string lineDb;        // empty: VEXU_LINE_DB, else the station's database
    std::string stationDb;     // empty: the state directory's station.db
};
int RunReport(const ReportOptions& options);

// "flash" and its sub-commands, each on the board's serial flash alone
// with the serial port switched on and off around it.
struct FlashOptions {
    enum class Action {
        kProgram,  // "flash": erase, write, read back and compare (the serial-flash job)
        kId,       // "flash id": the chip found
        kRead,     // "flash read -o FILE": the whole chip to FILE
        kVerify,   // "flash verify [FILE]": compare with FILE or the image, without writing
        kErase,    // "flash erase": bulk erase and blank check
        kWrite,    // "flash write FILE [--at OFFSET]": only the erase units FILE covers
        kParts,    // "flash parts": the chip table
    };
    Action action = Action::kProgram;
    std::string output;  // kRead
    std::string file;    // kVerify, kWrite; empty: the image of the options
    // kRead and kWrite: where (decimal or 0x-hexadecimal), and for kRead how
    // many bytes; as the user gave them.
    std::optional<std::string> at;
    std::optional<std::string> length;
    EepromJobOptions job;  // chip timing, SFDP-only parts, block protection
};
int RunFlash(const GlobalOptions& options, const FlashOptions& flash = {});

struct ActionOptions {
    std::vector<std::string> actions;  // engine action names, run in order
};

// "action NAME...": one FPGA engine run per name on the same board, JTAG
// port and lamps switched on and off around them; stops at the first
// failure (its engine code and message on stderr). Reporting actions
// print their report.
int RunAction(const GlobalOptions& options, const ActionOptions& action);

struct RunOptions {
    bool noFpga = false;    // switch the FPGA part off whatever the settings say
    bool noEeprom = false;  // the same for the serial-flash part
    bool station = false;   // run box after box until interrupted
    bool gang = false;      // station: every box at once, each in a worker process
    std::string slot;       // a gang station's worker: the slot its record names
    // A per-board serial number written into the serial-flash image at
    // serialAt: from a counter through serialFormat (first serialStart),
    // from the lines of serialFile, or serialValue as given (a gang
    // station's worker: no state file). Each is the text the user gave.
    std::optional<std::string> serialAt;
    std::optional<std::string> serialFormat;
    std::optional<std::string> serialStart;
    std::optional<std::string> serialFile;
    std::optional<std::string> serialValue;
    EepromJobOptions flashJob;  // chip timing, SFDP-only parts, block protection
    // A line's PostgreSQL database (empty: VEXU_LINE_DB, else none): a
    // counter's serials come from its pool, records go up to it.
    std::string lineDb;
    unsigned serialLease = 0;  // serials reserved in advance from the line
    std::string stationName;   // empty: VEXU_STATION_NAME, else the computer's name
};

// The serial-flash options as a gang station hands them to its workers.
std::vector<std::string> FlashJobArguments(const EepromJobOptions& job);

// "run": one run as the window's start button does it, on the run worker,
// with the settings record's part flags. Station mode waits for a box,
// runs, reports PASS or FAIL, waits for the box to go and the next to come.
int RunRun(const GlobalOptions& options, const RunOptions& run);

class Reporter;
class RunSerials;
// "run --station --gang": serves every box present and every box that
// arrives, each in a worker process of its own; PASS or FAIL per board with
// its slot, a summary per slot and in all at the end. With serial numbers
// the station reserves each board's serial and hands it to the worker.
int RunGang(const GlobalOptions& options, const RunOptions& run, Reporter& out, RunSerials& serials);

}  // namespace vexu::cli
