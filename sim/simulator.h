// Building the simulated box and board from a scenario.
//
//   std::string error;
//   std::unique_ptr<SimBackend> sim = MakeSimulator("flash=M25P40,idcode=0x0A1234CF", error);
//   CDevManage::SetBackend(sim.get());
//
// The box takes its keys (flash chip, faults, USB timing), then the JTAG
// device model named by "jtag=" takes its own; a key nobody took is an error.
// A device model is one row of the model table in simulator.cpp: its name,
// a factory that reads its keys from the scenario, and the help lines of
// those keys.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "sim/jtag_device.h"
#include "sim/scenario.h"
#include "sim/sim_backend.h"

namespace vexu::sim {

// A JTAG device model that can sit behind the box's JTAG port.
struct JtagModel {
    const char* name;
    const char* summary;
    // Takes the model's keys from the scenario; null with error set when
    // they are wrong.
    std::unique_ptr<JtagDevice> (*make)(Scenario& scenario, std::string& error);
    std::span<const ScenarioKeyHelp> keys;
};

// The models, the default first.
std::span<const JtagModel> JtagModels();

// Whole-simulator choices that concern the program running it, not the box.
struct SimulatorOptions {
    bool realtime = false;  // run on the real clock instead of virtual time
    // A station's operator: after each run the box is unplugged and plugged
    // again, this many boxes in all (0: nobody touches the box).
    uint32_t stationBoxes = 0;
    // A gang station's time for each board's run in ms (0: the modelled
    // worst case), so that a hung worker is found quickly in a test.
    uint64_t boardLimitMs = 0;
    // Where the first board's flash contents go when the program ends
    // (empty: nowhere), so that a test sees what a command left on it.
    std::string flashSave;
};

// Builds box, board and backend from a parsed scenario and takes every key
// it understands; leaves unknown keys in the scenario (check
// scenario.LeftoverError() when nothing else is to take them).
std::unique_ptr<SimBackend> MakeSimulator(Scenario& scenario, SimulatorOptions& options, std::string& error);
// Parses and builds; any key left over is an error.
std::unique_ptr<SimBackend> MakeSimulator(std::string_view scenarioText, std::string& error,
                                          SimulatorOptions* options = nullptr);

// "VID:PID" (decimal or 0x-hexadecimal) into two ids.
bool ParseVidPid(const std::string& text, uint16_t& vendorId, uint16_t& productId);

// The one-line account of a simulated box's traffic that the programs print
// when they end: reports, failed reports, protocol violations and the time
// the traffic took (modelled in virtual time, measured on the real clock).
std::string FormatSimulationSummary(uint64_t reports, uint64_t failedReports, uint64_t violations,
                                    uint64_t timeUs);

// The scenario keys of box, board and every model, one per line.
std::string SimulatorHelp();

}  // namespace vexu::sim
