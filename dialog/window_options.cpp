#include "dialog/window_options.h"

namespace {

bool StartsWith(const std::string& text, const char* head) { return text.rfind(head, 0) == 0; }

}  // namespace

WindowAsk FirstAsk(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--version") return WindowAsk::kVersion;
        if (arg == "--help" || arg == "-h") return WindowAsk::kHelp;
    }
    return WindowAsk::kWindow;
}

std::string ParseWindowOptions(const std::vector<std::string>& args, bool withSnapshots, WindowOptions& options) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--trace") {
            options.trace = true;
        } else if (arg == "--simulate") {
            options.simulate = true;
        } else if (StartsWith(arg, "--simulate=")) {
            options.simulate = true;
            options.simulateKeys = arg.substr(11);
        } else if (StartsWith(arg, "--box=") && arg.size() > 6) {
            options.box = arg.substr(6);
        } else if (arg == "--box" && i + 1 < args.size() && !args[i + 1].empty()) {
            options.box = args[++i];
        } else if (withSnapshots && StartsWith(arg, "--snapshots=") && arg.size() > 12) {
            options.snapshots = arg.substr(12);
        } else {
            return "unknown option " + arg;
        }
    }
    return {};
}

std::string WindowUsage(bool withSnapshots, const std::string& simulatorHelp) {
    std::string text =
        "Usage: vexu-programmer [OPTIONS]\n"
        "The operator's window of the Vexu Dual Programmer: one button programs the\n"
        "board's FPGA and then its serial flash through the USB programmer box.\n"
        "\n"
        "Options:\n"
        "  -h, --help           this text\n"
        "  --version            the version, the source revision and the embedded images\n"
        "  --trace              trace lines to standard error\n"
        "  --box=PATH           use only the programmer box at PATH, as 'vexu-cli list' prints it\n"
        "  --simulate[=KEYS]    use the simulated box and board instead of USB, set up by\n"
        "                       KEY=VALUE,... (the keys below)\n";
    if (withSnapshots)
        text +=
            "  --snapshots=DIR      walk the window through its stages and save a picture of each:\n"
            "                       with --simulate it plugs the box, runs, and runs again with a\n"
            "                       fault; with a real box it waits for the box, runs once (the run\n"
            "                       must pass) and waits for the box to be taken away\n";
    return text + "\n" + simulatorHelp;
}
