// "vexu-cli run": the station's run, its output printed for a person or as
// JSON lines.
#include "station/station_run.h"
#include "tools/cli.h"
#include "tools/cli_session.h"

namespace vexu::cli {

int RunRun(const GlobalOptions& options, const RunOptions& run) {
    Reporter out(options, run.station ? "station" : "run");
    return station::RunStation(options, run, out);
}

}  // namespace vexu::cli
