// The station's loops: one run as the window's start button does it, a
// station that runs box after box, and a gang station that serves every box
// at once, each in a worker process of its own.
#pragma once

#include "station/run_serials.h"
#include "station/station_options.h"
#include "station/station_output.h"

namespace vexu::station {

// "run": one run on the run worker, with the settings record's part flags.
// Station mode waits for a box, runs, reports PASS or FAIL, waits for the
// box to go and the next to come. Everything it has to tell goes to out.
int RunStation(const GlobalOptions& options, const RunOptions& run, StationOutput& out);

// "run --station --gang": serves every box present and every box that
// arrives, each in a worker process of its own; PASS or FAIL per board with
// its slot, a summary per slot and in all at the end. With serial numbers
// the station reserves each board's serial and hands it to the worker.
int RunGang(const GlobalOptions& options, const RunOptions& run, StationOutput& out, RunSerials& serials);

}  // namespace vexu::station
