// What a station is asked to do: the options every command shares (which
// box, the simulator, the images, JSON output) and those of a run or a
// station (parts, gang, serial numbers, the line database), each as the
// text the user gave; and the exit status of every command.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run/eeprom_job.h"

namespace vexu::station {

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

}  // namespace vexu::station
