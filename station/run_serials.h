// The per-board serial numbers of "vexu-cli run": the options checked, the
// state file held for as long as the command runs, each board's serial
// reserved and placed in its own copy of the serial-flash image, then
// committed or released with the run's result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run/serial_number.h"
#include "station/station_options.h"

namespace vexu::station {

class StationLedger;

class RunSerials {
public:
    // Checks the serial options against the run (doEeprom: the run has its
    // serial-flash step) and the serial-flash image in g_eepromData; for a
    // counter or a serial file it takes the state file and checks that the
    // next serial fits. kExitOk, or kExitUsage with the reason: nothing has
    // been sent to a box.
    // With the station's ledger (given where the station keeps a database),
    // the serials are handed out through it, from the station's own pools
    // or, with a line, from the line's counter; otherwise from the state
    // file.
    int Prepare(const RunOptions& run, bool doEeprom, std::string& error,
                StationLedger* ledger = nullptr);
    // A serial goes into each board's image.
    bool Active() const { return active_; }
    // Serials skipped when the state file was opened (their runs never
    // finished).
    const std::vector<std::string>& Skipped() const;

    // The serial of the board in hand, placed in its image. False with the
    // reason when there is none to give (usedUp: the source is used up) or
    // the state file cannot be written.
    bool NextBoard(std::string& error, bool& usedUp);
    const std::optional<std::string>& Serial() const { return serial_; }
    const std::vector<uint8_t>& Image() const { return image_; }
    // The board's run ended: its serial is committed on a pass, released on
    // a failure before the serial flash was written, skipped otherwise
    // (SerialEndOfRun). False when the state file could not be written (the
    // serial then stays reserved there and is skipped later: never given twice).
    bool Finish(SerialEnd end, std::string& error);

    // A gang station's serials: the station reserves each board's serial
    // in its own process and hands the text to the board's worker (which
    // keeps no state), then commits or releases it with the run's result.
    // Reserve also checks that the serial fits into the image.
    bool Reserve(SerialReservation& reservation, std::string& error, bool& usedUp);
    bool Settle(const SerialReservation& reservation, SerialEnd end, std::string& error);

private:
    bool active_ = false;
    bool fromCounter_ = false;  // a counter or a serial file, not --serial-value
    uint64_t offset_ = 0;
    std::string value_;
    std::vector<uint8_t> base_;   // the serial-flash image without a serial
    std::vector<uint8_t> image_;  // the image of the board in hand
    SerialCounter counter_;
    StationLedger* ledger_ = nullptr;
    SerialSource source_;  // with the ledger: where its serials come from
    SerialReservation reservation_;
    std::optional<std::string> serial_;
};

}  // namespace vexu::station
