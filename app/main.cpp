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
#include <vector>

#include "app/ktr_app.h"
#include "app/snapshot_tour.h"
#include "dialog/window_options.h"
#include "link/dev_manage.h"
#include "platform/hidapi_backend.h"
#include "platform/trace.h"
#include "run/build_info.h"
#include "sim/simulator.h"

namespace {

void Usage(FILE* out) { std::fputs(WindowUsage(true, vexu::sim::SimulatorHelp()).c_str(), out); }

// Returns false (after a message) on a bad command line.
bool ParseOptions(int argc, char** argv, WindowOptions& options) {
    const std::string refused = ParseWindowOptions(std::vector<std::string>(argv + 1, argv + argc), true, options);
    if (!refused.empty()) {
        std::fprintf(stderr, "vexu-programmer: %s\n", refused.c_str());
        return false;
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
    switch (FirstAsk(std::vector<std::string>(argv + 1, argv + argc))) {
        case WindowAsk::kVersion: std::fputs(VersionText("vexu-programmer").c_str(), stdout); return 0;
        case WindowAsk::kHelp: Usage(stdout); return 0;
        case WindowAsk::kWindow: break;
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
    WindowOptions options;
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
