// vexu-programmer: the one-window programmer.
//
//   vexu-programmer [--trace] [--simulate[=KEY=VALUE,...]] [--snapshots=DIR]
//   vexu-programmer --help | --version
//
// Without --simulate the window talks to the real USB box. With it, the
// simulated box and board take its place, on the real clock so that the
// bars move at the pace of real hardware. --snapshots walks the window
// through its stages and saves a picture of each.
#include <QTimer>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "app/ktr_app.h"
#include "app/snapshot_tour.h"
#include "link/dev_manage.h"
#include "platform/hidapi_backend.h"
#include "platform/trace.h"
#include "run/build_info.h"
#include "sim/simulator.h"

namespace {

struct Options {
    bool trace = false;
    bool simulate = false;
    std::string simulateKeys;
    std::string snapshots;
    std::string box;
};

void Usage(FILE* out) {
    std::fprintf(out,
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
                 "                       KEY=VALUE,... (the keys below)\n"
                 "  --snapshots=DIR      walk the window through its stages and save a picture of each:\n"
                 "                       with --simulate it plugs the box, runs, and runs again with a\n"
                 "                       fault; with a real box it waits for the box, runs once (the run\n"
                 "                       must pass) and waits for the box to be taken away\n"
                 "\n"
                 "%s",
                 vexu::sim::SimulatorHelp().c_str());
}

// Returns false (after a message) on a bad command line.
bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--trace") == 0) {
            options.trace = true;
        } else if (std::strcmp(arg, "--simulate") == 0) {
            options.simulate = true;
        } else if (std::strncmp(arg, "--simulate=", 11) == 0) {
            options.simulate = true;
            options.simulateKeys = arg + 11;
        } else if (std::strncmp(arg, "--box=", 6) == 0 && arg[6] != '\0') {
            options.box = arg + 6;
        } else if (std::strcmp(arg, "--box") == 0 && i + 1 < argc && argv[i + 1][0] != '\0') {
            options.box = argv[++i];
        } else if (std::strncmp(arg, "--snapshots=", 12) == 0 && arg[12] != '\0') {
            options.snapshots = arg + 12;
        } else {
            std::fprintf(stderr, "vexu-programmer: unknown option %s\n", arg);
            return false;
        }
    }
    // The pictures go into DIR, made if need be, but only DIR: a mistyped
    // path does not grow directories from the root.
    if (!options.snapshots.empty()) {
        const std::filesystem::path directory = std::filesystem::absolute(options.snapshots).lexically_normal();
        const std::filesystem::path parent = directory.has_filename() ? directory.parent_path()
                                                                      : directory.parent_path().parent_path();
        std::error_code error;
        if (!std::filesystem::is_directory(parent, error)) {
            std::fprintf(stderr, "vexu-programmer: --snapshots=%s: %s is not a directory\n", options.snapshots.c_str(),
                         parent.c_str());
            return false;
        }
    }
    return true;
}

bool EnvironmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

// Qt would have no display to open: no platform chosen (QT_QPA_PLATFORM,
// -platform) and neither an X nor a Wayland display named.
bool NoDisplay(int argc, char** argv) {
    if (EnvironmentSet("QT_QPA_PLATFORM")) return false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strncmp(argv[i], "-platform=", 10) == 0) return false;
    }
    return !EnvironmentSet("DISPLAY") && !EnvironmentSet("WAYLAND_DISPLAY");
}

// While Qt opens its platform, a failure it cannot go on from ends the
// program with status 1 and its reason instead of an abort and a core.
QtMessageHandler g_qtMessages = nullptr;

void StartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "vexu-programmer: cannot open the window: %s\n", message.toLocal8Bit().constData());
        std::fflush(stderr);
        std::_Exit(1);
    }
    if (g_qtMessages) g_qtMessages(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    // Help and version need no display: they are answered before Qt starts.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::fputs(VersionText("vexu-programmer").c_str(), stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        }
    }
    if (NoDisplay(argc, argv)) {
        std::fputs("vexu-programmer: no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                   "vexu-cli works without one\n",
                   stderr);
        return 1;
    }
    g_qtMessages = qInstallMessageHandler(StartupMessage);
    CKTRApp app(argc, argv);  // takes Qt's own options (-platform ...) out of argv
    qInstallMessageHandler(g_qtMessages);
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        Usage(stderr);
        return 2;
    }
    vexu::SetTraceToStderr(options.trace);

    std::unique_ptr<vexu::HidBackend> backend;
    std::unique_ptr<vexu::HotplugMonitor> monitor;
    vexu::sim::SimBackend* simulated = nullptr;
    if (options.simulate) {
        std::string keys = options.simulateKeys;
        // The tour plugs the box in itself.
        if (!options.snapshots.empty()) keys = keys.empty() ? "unplugged" : keys + ",unplugged";
        std::string error;
        std::unique_ptr<vexu::sim::SimBackend> sim = vexu::sim::MakeSimulator(keys, error);
        if (!sim) {
            std::fprintf(stderr, "vexu-programmer: --simulate: %s\n", error.c_str());
            return 2;
        }
        simulated = sim.get();
        monitor = sim->MakeHotplugMonitor();
        backend = std::move(sim);
    } else {
        backend = vexu::MakeHidapiBackend();
        monitor = vexu::MakeUdevHotplugMonitor();
    }
    CDevManage::SetBackend(backend.get());
    CDevManage::SetBoxPath(options.box);

    std::unique_ptr<SnapshotTour> tour;
    if (!options.snapshots.empty()) {
        tour = std::make_unique<SnapshotTour>(simulated, QString::fromLocal8Bit(options.snapshots.c_str()));
        QTimer::singleShot(0, tour.get(), [&tour] { tour->Begin(); });
    }

    DialogSetup setup;
    setup.monitor = monitor.get();
    app.InitInstance(std::move(setup));

    CDevManage::SetBackend(nullptr);
    if (tour && !tour->Succeeded()) return 1;
    return 0;
}
