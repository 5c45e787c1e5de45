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
#include "station/box_session.h"
#include "station/station_options.h"

namespace vexu::cli {

// The station layer's options, exit status and box session, by the names
// the commands use.
using station::ExitCode;
using enum station::ExitCode;
using station::GlobalOptions;
using station::RunOptions;
using station::MakeBackend;
using station::CheckSimulateKeys;
using station::SimulateHelp;
using station::SimulationSummary;
using station::BoxSession;
using station::NoBox;
using station::NoBoxFailure;
using station::TimedTextTarget;
using station::LoadFpgaImage;
using station::LoadEepromImage;
using station::FinishBoxCommand;
using station::TerminalText;
using station::WM_HOTPLUG_EVENT;

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

// "run": one run as the window's start button does it, on the run worker,
// with the settings record's part flags. Station mode waits for a box,
// runs, reports PASS or FAIL, waits for the box to go and the next to come.
int RunRun(const GlobalOptions& options, const RunOptions& run);

}  // namespace vexu::cli
