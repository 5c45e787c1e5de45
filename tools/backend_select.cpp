#include <cinttypes>
#include <cstdio>

#include "platform/clock.h"
#include "platform/system_hid.h"
#include "sim/simulator.h"
#include "tools/cli.h"

namespace vexu::cli {

namespace {

// The command line runs one command per process, so the simulator's virtual
// clock simply lives as long as the process.
// Its calendar starts at the real time, so that run records and traces of
// a simulated run carry the day they were made.
VirtualClock& SimulatorClock() {
    static VirtualClock clock(1'000'000, RealClock().CalendarSeconds());
    return clock;
}

}  // namespace

std::unique_ptr<HidBackend> MakeBackend(const GlobalOptions& options, std::string& error,
                                        sim::SimulatorOptions* simulator) {
    if (!options.simulate) return MakeSystemHidBackend();
    // Virtual time from the start, so that the simulator's modelled time
    // begins at zero; the real clock comes back when the scenario asks for it.
    SetClock(&SimulatorClock());
    sim::SimulatorOptions simulatorOptions;
    std::unique_ptr<sim::SimBackend> backend = sim::MakeSimulator(options.simulateKeys, error, &simulatorOptions);
    if (!backend) {
        SetClock(nullptr);
        error = "--simulate: " + error;
        return nullptr;
    }
    if (simulatorOptions.realtime) SetClock(nullptr);
    if (simulator) *simulator = simulatorOptions;
    return backend;
}

std::string SimulateHelp() {
    std::string text = "Use the simulated programmer box and board instead of USB, set up by KEYS\n" +
                       sim::SimulatorHelp();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::string SimulationSummary(HidBackend& backend) {
    auto* simulator = dynamic_cast<sim::SimBackend*>(&backend);
    if (!simulator) return {};
    const sim::UsbCounters usb = simulator->Counters();
    const uint64_t violations = simulator->Inspect([](sim::SimBox& box) { return box.Counters().violations; });
    return sim::FormatSimulationSummary(usb.transfers, usb.failedTransfers, violations, simulator->ModelledTimeUs());
}

}  // namespace vexu::cli
