#include "sim/virtual_box/virtual_box.h"

#include <cerrno>
#include <utility>

#include "sim/simulator.h"

namespace vexu::sim {

namespace {

// The operator's hand: how long after the end of a run the box is taken.
constexpr uint64_t kTakeAwayAfterUs = 100'000;
// A box that stopped answering (unplug-after) leaves the bus this much
// later. Destroying the device at once could fail the last report it did
// answer: the kernel fails a request whose device is gone by the time the
// waiting caller wakes, answer or not.
constexpr uint64_t kLeaveBusAfterUs = 100'000;

const FeatureReport* FindReport(uint8_t id) {
    for (const FeatureReport& report : kBoxFeatureReports)
        if (report.id == id) return &report;
    return nullptr;
}

}  // namespace

std::vector<uint8_t> FeatureReportDescriptor(std::span<const FeatureReport> reports) {
    std::vector<uint8_t> d = {
        0x06, 0x00, 0xFF,  // usage page: vendor defined 0xFF00
        0x09, 0x01,        // usage 1
        0xA1, 0x01,        // collection: application
        0x15, 0x00,        // logical minimum 0
        0x26, 0xFF, 0x00,  // logical maximum 255
        0x75, 0x08,        // report size: 8 bits
    };
    for (const FeatureReport& report : reports) {
        const uint16_t count = static_cast<uint16_t>(report.length - 1);
        d.insert(d.end(), {0x85, report.id});  // report id
        if (count < 0x100) {
            d.insert(d.end(), {0x95, static_cast<uint8_t>(count)});  // report count
        } else {
            d.insert(d.end(), {0x96, static_cast<uint8_t>(count & 0xFF), static_cast<uint8_t>(count >> 8)});
        }
        d.insert(d.end(), {0x09, report.id, 0xB1, 0x02});  // usage, feature (data, variable, absolute)
    }
    d.push_back(0xC0);  // end collection
    return d;
}

VirtualBox::VirtualBox(std::unique_ptr<SimBackend> sim, VirtualBoxSetup setup)
    : sim_(std::move(sim)), setup_(std::move(setup)) {
    if (setup_.identity.reportDescriptor.empty())
        setup_.identity.reportDescriptor = FeatureReportDescriptor(kBoxFeatureReports);
    if (!sim_) setup_.foreign = true;
}

std::vector<uhid::Event> VirtualBox::Begin(uint64_t nowUs) {
    std::vector<uhid::Event> out;
    if (setup_.foreign || sim_->Plugged()) {
        Plug(out);
    } else if (setup_.replugAfterUs) {
        Schedule(Action::kPlug, nowUs + *setup_.replugAfterUs);
    } else if (setup_.stationBoxes) {
        Schedule(Action::kPlug, nowUs + setup_.stationPauseUs);
    }
    return out;
}

std::vector<uhid::Event> VirtualBox::Handle(std::span<const uint8_t> bytes, uint64_t nowUs) {
    std::vector<uhid::Event> out;
    uhid::Request request;
    if (!uhid::Decode(bytes, request)) return out;
    if (request.kind != uhid::Request::Kind::kGetReport && request.kind != uhid::Request::Kind::kSetReport)
        return out;
    // A request the kernel queued before the device went is not answered:
    // the kernel has failed it already and takes no answer for a device
    // that is gone.
    if (!present_) return out;
    out.push_back(Answer(request, nowUs));
    if (!setup_.foreign) AfterReport(nowUs);
    return out;
}

uhid::Event VirtualBox::Answer(const uhid::Request& request, uint64_t nowUs) {
    const bool get = request.kind == uhid::Request::Kind::kGetReport;
    auto fail = [&] { return get ? uhid::GetReportReply(request.id, EIO, {}) : uhid::SetReportReply(request.id, EIO); };
    if (setup_.foreign || !request.feature) return fail();
    if (!firstReportUs_) firstReportUs_ = nowUs;
    lastReportUs_ = nowUs;
    if (!get) {
        const bool ok = !request.data.empty() && sim_->SetFeature(handle_, request.data.data(), request.data.size());
        return uhid::SetReportReply(request.id, ok ? 0 : EIO);
    }
    const FeatureReport* layout = FindReport(request.reportNumber);
    if (!layout) return fail();
    std::vector<uint8_t> report(layout->length, 0);
    report[0] = request.reportNumber;
    if (!sim_->GetFeature(handle_, report.data(), report.size())) return fail();
    if (setup_.shortAnswer && sim_->Counters().transfers >= *setup_.shortAnswer) {
        setup_.shortAnswer.reset();
        report.pop_back();
    }
    return uhid::GetReportReply(request.id, 0, report);
}

bool VirtualBox::JtagPortOn() {
    return sim_->Inspect([](SimBox& box) { return box.Port(kJtagPortNumber).on; });
}

void VirtualBox::AfterReport(uint64_t nowUs) {
    if (present_ && !sim_->Plugged()) {
        // unplug-after: the box answers no more and leaves the bus soon.
        if (nextAction_ != Action::kLeaveBus) Schedule(Action::kLeaveBus, nowUs + kLeaveBusAfterUs);
        return;
    }
    const bool jtagOn = JtagPortOn();
    // A run ends with the JTAG port switched off: the operator takes the box.
    if (setup_.stationBoxes && jtagWasOn_ && !jtagOn && nextAction_ == Action::kNone)
        Schedule(Action::kTakeAway, nowUs + kTakeAwayAfterUs);
    jtagWasOn_ = jtagOn;
}

std::vector<uhid::Event> VirtualBox::Tick(uint64_t nowUs) {
    std::vector<uhid::Event> out;
    if (!nextActionUs_ || nowUs < *nextActionUs_) return out;
    const Action action = nextAction_;
    nextAction_ = Action::kNone;
    nextActionUs_.reset();
    if (action == Action::kPlug && !present_) {
        Plug(out);
    } else if (action == Action::kLeaveBus && present_) {
        Unplug(out);
        if (setup_.replugAfterUs) Schedule(Action::kPlug, nowUs + *setup_.replugAfterUs);
    } else if (action == Action::kTakeAway && present_) {
        Unplug(out);
        if (boxesBrought_ < setup_.stationBoxes) {
            Schedule(Action::kPlug, nowUs + setup_.stationPauseUs);
        } else {
            done_ = true;
            notes_.push_back(setup_.identity.serial + ": the operator took the last of " +
                             std::to_string(setup_.stationBoxes) + " boxes away");
        }
    }
    return out;
}

std::vector<uhid::Event> VirtualBox::End() {
    std::vector<uhid::Event> out;
    nextAction_ = Action::kNone;
    nextActionUs_.reset();
    if (present_) Unplug(out);
    return out;
}

void VirtualBox::Schedule(Action action, uint64_t atUs) {
    nextAction_ = action;
    nextActionUs_ = atUs;
}

void VirtualBox::Plug(std::vector<uhid::Event>& out) {
    if (sim_) {
        if (!sim_->Plugged()) sim_->Plug();
        handle_ = sim_->Open(SimBackend::kBoxPath);
        jtagWasOn_ = false;
    }
    ++boxesBrought_;
    present_ = true;
    out.push_back(uhid::Create(setup_.identity));
    notes_.push_back(setup_.identity.serial + ": plugged in");
}

void VirtualBox::Unplug(std::vector<uhid::Event>& out) {
    if (sim_) {
        if (sim_->Plugged()) sim_->Unplug();
        if (handle_) sim_->Close(handle_);
        handle_ = 0;
    }
    present_ = false;
    out.push_back(uhid::Destroy());
    notes_.push_back(setup_.identity.serial + ": unplugged");
}

std::string VirtualBox::Summary() const {
    if (!sim_) return {};
    const UsbCounters usb = sim_->Counters();
    const uint64_t violations = sim_->Inspect([](SimBox& box) { return box.Counters().violations; });
    const uint64_t timeUs = firstReportUs_ ? lastReportUs_ - *firstReportUs_ : 0;
    return FormatSimulationSummary(usb.transfers, usb.failedTransfers, violations, timeUs);
}

std::vector<std::string> VirtualBox::TakeNotes() { return std::exchange(notes_, {}); }

}  // namespace vexu::sim
