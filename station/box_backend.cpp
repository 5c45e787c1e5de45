#include <cinttypes>
#include <cstdio>

#include "platform/clock.h"
#include "platform/system_hid.h"
#include "sim/simulator.h"
#include "station/box_session.h"
#include "station/station_options.h"

namespace vexu::station {

namespace {

// The command line runs one command per process, so the simulator's virtual
// clock simply lives as long as the process.
// Its calendar starts at the real time, so that run records and traces of
// a simulated run carry the day they were made.
VirtualClock& SimulatorClock() {
    static VirtualClock clock(1'000'000, RealClock().CalendarSeconds());
    return clock;
}

// Whether the scenario asks for the real clock ("realtime", "realtime=1").
bool WantsRealTime(const std::string& keys) {
    sim::Scenario scenario;
    std::string ignored;
    bool realtime = false;
    return sim::Scenario::Parse(keys, scenario, ignored) && scenario.TakeFlag("realtime", realtime, ignored) &&
           realtime;
}

}  // namespace

bool CheckSimulateKeys(const std::string& keys, std::string& error) {
    if (sim::MakeSimulator(keys, error)) return true;
    error = "--simulate: " + error;
    return false;
}

std::unique_ptr<HidBackend> MakeBackend(const GlobalOptions& options, std::string& error,
                                        sim::SimulatorOptions* simulator) {
    if (!options.simulate) return MakeSystemHidBackend();
    // The simulator's modelled time is measured on the clock it runs on,
    // from its making: virtual time, or the real clock when the scenario
    // asks for it, so that either way it is the time of this command.
    SetClock(WantsRealTime(options.simulateKeys) ? nullptr : &SimulatorClock());
    sim::SimulatorOptions simulatorOptions;
    std::unique_ptr<sim::SimBackend> backend = sim::MakeSimulator(options.simulateKeys, error, &simulatorOptions);
    if (!backend) {
        SetClock(nullptr);
        error = "--simulate: " + error;
        return nullptr;
    }
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

}  // namespace vexu::station
