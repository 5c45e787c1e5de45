// The simulated box's report decoder fed arbitrary report sequences, with
// the default FPGA behind its JTAG port and the default serial flash behind
// its serial port, in virtual time. Each report of the input starts with
// one byte:
//   0xFF           the box powers up afresh (no report);
//   bits 0-1       the report id: 1, 2, 3, or (3) the id in the next byte;
//   bit 2          fetch the report instead of writing it;
//   bits 3-7       below 24 the id's own length (64, or 320 for report 3),
//                  otherwise one of kOddLengths;
// and a written report takes its remaining bytes from the input (zeros when
// the input runs out). Whatever arrives, the box must count it, note what is
// against the protocol and never touch memory outside the report.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "budget_clock.h"
#include "sim/simulator.h"

namespace {

constexpr uint8_t kPowerUp = 0xFF;
constexpr size_t kOddLengths[] = {0, 1, 15, 16, 63, 65, 319, 321};
constexpr unsigned kOwnLengthSelectors = 24;
constexpr size_t kShortLength = 64;
constexpr size_t kBulkLength = 320;
constexpr uint8_t kBulkId = 3;
constexpr size_t kMaxKeptViolations = 100;

vexu::fuzz::BudgetClock g_clock;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vexu::SetClock(&g_clock);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    std::unique_ptr<vexu::sim::SimBackend> sim = vexu::sim::MakeSimulator("", error);
    if (!sim) {
        fprintf(stderr, "the simulator cannot be built: %s\n", error.c_str());
        abort();
    }
    vexu::sim::SimBox& box = sim->Box();
    size_t at = 0;
    auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    uint64_t written = 0;
    uint64_t fetched = 0;
    while (at < size) {
        const uint8_t head = next();
        if (head == kPowerUp) {
            box.PowerUp();
            continue;
        }
        const uint8_t id = (head & 3) == 3 ? next() : static_cast<uint8_t>((head & 3) + 1);
        const bool fetch = head & 4;
        const unsigned lengthSelector = head >> 3;
        const size_t length = lengthSelector < kOwnLengthSelectors ? (id == kBulkId ? kBulkLength : kShortLength)
                                                                   : kOddLengths[lengthSelector - kOwnLengthSelectors];
        // Exactly the report's bytes, so that the sanitizers see any access past them.
        std::vector<uint8_t> report(length);
        if (length) report[0] = id;
        if (fetch) {
            box.FetchReport(report.data(), report.size());
            ++fetched;
        } else {
            for (size_t i = 1; i < length; ++i) report[i] = next();
            box.WriteReport(report.data(), report.size());
            ++written;
        }
    }
    const vexu::sim::BoxCounters& counters = box.Counters();
    if (counters.reportsWritten != written || counters.reportsFetched != fetched ||
        box.Violations().size() > kMaxKeptViolations || box.Violations().size() > counters.violations)
        __builtin_trap();
    return 0;
}
