#include <cstdio>

#include "engine/dp_frame.h"
#include "engine/dp_state.h"
#include "link/hid_device.h"
#include "platform/trace.h"
#include "run/fpga_job.h"
#include "common/run_messages.h"
#include "run/thread_action.h"
#include "tools/cli.h"
#include "tools/cli_session.h"

namespace vexu::cli {

namespace {

// The JTAG port and both lamps, switched as the run worker switches them.
void JtagPortAndLamps(bool on) {
    if (on) {
        EnableJtagPort();
        CHidDevice::LightLed(1, 1);
    } else {
        CHidDevice::LightLed(0, 0);
        DisableJtagPort();
    }
}

// The engine's lines of a reporting action, as the report to print: line
// ends as the terminal wants them, without the exit and job bookkeeping.
std::string ReportText(const std::vector<std::string>& lines) {
    std::string report;
    for (const std::string& line : lines) {
        if (line == "dp_exit() \r\n" || line == "\r\nExit code = 0... Success") continue;
        report += TerminalText(line);
    }
    return report;
}

// Every action name the engine knows, in the order of their codes.
std::string KnownActions() {
    std::string names;
    for (unsigned code = 1; code <= 0xFF; ++code) {
        if (const DpActionEntry* entry = dp_action_entry(static_cast<uint8_t>(code)))
            names += (names.empty() ? "" : ", ") + std::string(entry->name);
    }
    return names;
}

}  // namespace

int RunAction(const GlobalOptions& options, const ActionOptions& action) {
    Reporter out(options, "action");
    // A name the engine does not know is the user's slip: it is refused
    // before anything reaches the box, not after the engine ran up to it.
    for (const std::string& name : action.actions) {
        if (dp_action_code_from_name(name.c_str()) == DP_ACTION_NONE)
            return out.Finish(kExitUsage, "no action \"" + name + "\" (the actions: " + KnownActions() + ")");
    }
    std::string error;
    if (!LoadFpgaImage(options, error)) return out.Finish(kExitUsage, error);
    BoxSession session;
    if (!session.Open(options, nullptr, error)) return out.Finish(kExitFailed, error);
    if (!session.HasBox()) {
        const NoBox noBox = session.Missing();
        return out.Finish(noBox.exit, noBox.text);
    }

    ChannelReader reader(out);
    InitMsgQueue(&reader);
    JtagPortAndLamps(true);
    std::string failure;
    std::string failedAction;
    uint8_t failedCode = 0;
    for (const std::string& name : action.actions) {
        out.ShowBars(true, false);
        TraceCapture lines;
        const int done = RunFpgaJob(name.c_str());
        out.EndBars();
        const uint8_t code = g_dpState.errorCode;
        JsonObject event;
        event.Text("event", "action").Text("name", name).Bool("ok", done != 0).Number("engineCode", code);
        const DpActionEntry* entry = dp_action_entry(g_dpState.actionCode);
        const bool report = done && entry && entry->reportOnly;
        if (report) event.Text("report", ReportText(lines.Lines()));
        out.Emit(event);
        if (!done) {
            failure = name + " failed: engine code " + std::to_string(code) + ": " + GetFpgaError();
            failedAction = name;
            failedCode = code;
            break;
        }
        if (report) out.Say(ReportText(lines.Lines()));
        out.Say(name + ": done");
    }
    JtagPortAndLamps(false);
    FreeMsgQueue();
    const int exitCode = failure.empty() ? kExitOk : kExitFailed;
    JsonObject result = out.Result(exitCode, failure);
    if (!failure.empty()) result.Text("action", failedAction).Number("engineCode", failedCode);
    session.AddSummary(result);
    out.Finish(exitCode, failure, result);
    session.SaySummary(out);
    return exitCode;
}

}  // namespace vexu::cli
