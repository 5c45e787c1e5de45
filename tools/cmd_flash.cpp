#include <cstdio>

#include "platform/trace.h"
#include "run/eeprom_job.h"
#include "run/image_buffers.h"
#include "run/run_messages.h"
#include "run/thread_action.h"
#include "tools/cli.h"
#include "tools/cli_session.h"

namespace vexu::cli {

// Runs the serial-flash job alone: serial port on, job, serial port off.
int RunFlash(const GlobalOptions& options) {
    Reporter out(options, "flash");
    std::string error;
    if (!LoadEepromImage(options, error)) return out.Finish(kExitUsage, error);
    BoxSession session;
    if (!session.Open(options, nullptr, error)) return out.Finish(kExitFailed, error);
    if (!session.HasBox()) {
        const NoBox noBox = session.Missing();
        return out.Finish(noBox.exit, noBox.text);
    }

    ChannelReader reader(out);
    InitMsgQueue(&reader);
    out.ShowBars(false, true);
    PostMsgText(kEepromProgressText, 0, 0);
    EnableEepromPort();
    const int done = RunEepromJob();
    if (done) PostMsgText(kEepromProgressText, 100, 0);
    DisableEepromPort();
    FreeMsgQueue();
    out.EndBars();

    const std::string chip = GetEepromChip();
    const int exitCode = done ? kExitOk : kExitFailed;
    const std::string failure = done ? "" : GetEepromError();
    if (done)
        out.Say("serial flash written and verified (" + std::to_string(g_eepromSize) + " bytes, " + chip + ")");
    else
        Trace(failure + "\r\n");
    JsonObject result = out.Result(exitCode, failure);
    result.Number("bytes", g_eepromSize);
    if (chip.empty())
        result.Null("chip");
    else
        result.Text("chip", chip);
    session.AddSummary(result);
    out.Finish(exitCode, failure, result);
    session.SaySummary(out);
    return exitCode;
}

}  // namespace vexu::cli
