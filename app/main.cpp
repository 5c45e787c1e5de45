// vexu-programmer: the one-window programmer.
//
//   vexu-programmer [--trace] [--simulate[=KEY=VALUE,...]] [--snapshots=DIR]
//
// Without --simulate the window talks to the real USB box. With it, the
// simulated box and board take its place, on the real clock so that the
// bars move at the pace of real hardware. --snapshots walks the window
// through its stages and saves a picture of each.
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "app/ktr_app.h"
#include "app/snapshot_tour.h"
#include "link/dev_manage.h"
#include "platform/hidapi_backend.h"
#include "platform/trace.h"
#include "sim/simulator.h"

namespace {

struct Options {
    bool trace = false;
    bool simulate = false;
    std::string simulateKeys;
    std::string snapshots;
};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: vexu-programmer [--trace] [--simulate[=KEY=VALUE,...]] [--snapshots=DIR]\n"
                 "  --trace            trace lines to standard error\n"
                 "  --simulate[=KEYS]  use the simulated box and board instead of USB\n"
                 "  --snapshots=DIR    walk the window through its stages and save a picture of each:\n"
                 "                     with --simulate it plugs the box, runs, and runs again with a\n"
                 "                     fault; with a real box it waits for the box, runs once (the run\n"
                 "                     must pass) and waits for the box to be taken away\n"
                 "simulator keys:\n%s",
                 vexu::sim::SimulatorHelp().c_str());
}

// Returns false (after a message) on a bad command line.
bool ParseOptions(int argc, char** argv, Options& options, bool& help) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            help = true;
        } else if (std::strcmp(arg, "--trace") == 0) {
            options.trace = true;
        } else if (std::strcmp(arg, "--simulate") == 0) {
            options.simulate = true;
        } else if (std::strncmp(arg, "--simulate=", 11) == 0) {
            options.simulate = true;
            options.simulateKeys = arg + 11;
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

}  // namespace

int main(int argc, char** argv) {
    CKTRApp app(argc, argv);  // takes Qt's own options (-platform ...) out of argv
    Options options;
    bool help = false;
    if (!ParseOptions(argc, argv, options, help)) {
        Usage(stderr);
        return 2;
    }
    if (help) {
        Usage(stdout);
        return 0;
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
