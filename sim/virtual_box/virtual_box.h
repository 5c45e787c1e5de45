// The simulated box and board on the kernel's HID stack: one virtual box is
// one uhid device whose feature requests the simulated box answers, as a
// real box answers them over USB. It is a state machine over the uhid wire:
// events from the kernel go in, the events the device writes come out, and
// timed actions (a box plugged back, an operator taking a box away) run
// when Tick is called at or after their time. The program around it does
// the reading and writing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/sim_backend.h"
#include "sim/virtual_box/uhid_wire.h"

namespace vexu::sim {

// A feature report of the box: its id and whole length, id included.
struct FeatureReport {
    uint8_t id;
    uint16_t length;
};
constexpr FeatureReport kBoxFeatureReports[] = {{1, 64}, {2, 64}, {3, 320}};

// A vendor-defined report descriptor with one feature report of bytes per
// entry (the id and length-1 data bytes).
std::vector<uint8_t> FeatureReportDescriptor(std::span<const FeatureReport> reports);

struct VirtualBoxSetup {
    uhid::DeviceIdentity identity;  // the descriptor is filled in
    // A box that went away (unplug-after, or unplugged at the start) comes
    // back after this long.
    std::optional<uint64_t> replugAfterUs;
    // The operator of a station: after each run (the JTAG port switched off
    // again) the box is taken away and, after stationPauseUs, the next one
    // brought, this many boxes in all.
    uint32_t stationBoxes = 0;
    uint64_t stationPauseUs = 500'000;
    // The first report fetched from this transfer on (1 = the first) is
    // answered one byte short.
    std::optional<uint64_t> shortAnswer;
    // Not a box: another HID device, whose feature requests all fail.
    bool foreign = false;
};

class VirtualBox {
public:
    // sim may be null for a foreign device.
    VirtualBox(std::unique_ptr<SimBackend> sim, VirtualBoxSetup setup);

    // Plugs the box in (unless the scenario starts it unplugged).
    std::vector<uhid::Event> Begin(uint64_t nowUs);
    // One event read from the kernel.
    std::vector<uhid::Event> Handle(std::span<const uint8_t> event, uint64_t nowUs);
    // Timed actions that are due.
    std::vector<uhid::Event> Tick(uint64_t nowUs);
    std::optional<uint64_t> NextActionUs() const { return nextActionUs_; }
    // Unplugs the box for good (the program ends).
    std::vector<uhid::Event> End();

    bool Present() const { return present_; }
    // The operator has taken the last box away.
    bool Done() const { return done_; }
    const uhid::DeviceIdentity& Identity() const { return setup_.identity; }
    SimBackend* Simulator() { return sim_.get(); }
    // What "--simulate" prints at the end, the time measured from the first
    // report to the last.
    std::string Summary() const;
    // A line for each plugging and unplugging, for the program to print.
    std::vector<std::string> TakeNotes();

private:
    enum class Action { kNone, kPlug, kLeaveBus, kTakeAway };

    uhid::Event Answer(const uhid::Request& request, uint64_t nowUs);
    void AfterReport(uint64_t nowUs);
    void Plug(std::vector<uhid::Event>& out);
    void Unplug(std::vector<uhid::Event>& out);
    void Schedule(Action action, uint64_t atUs);
    bool JtagPortOn();

    std::unique_ptr<SimBackend> sim_;
    VirtualBoxSetup setup_;
    HidHandle handle_ = 0;
    bool present_ = false;
    bool done_ = false;
    bool jtagWasOn_ = false;
    uint32_t boxesBrought_ = 0;
    uint64_t reports_ = 0;
    uint64_t failedReports_ = 0;
    std::optional<uint64_t> firstReportUs_;
    uint64_t lastReportUs_ = 0;
    Action nextAction_ = Action::kNone;
    std::optional<uint64_t> nextActionUs_;
    std::vector<std::string> notes_;
};

}  // namespace vexu::sim
