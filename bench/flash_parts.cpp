// The serial-flash step for every part of the chip table on the simulated
// board in virtual time, with the fixed waits and with the chip's own timing
// (--flash-timing=chip): the modelled step (a real box at 1 ms per transfer,
// the chip busy for its datasheet's typical times), the reports it took and
// the host's CPU time. The image is the demo serial-flash image (256 KiB);
// every part is erased whole, as the one-button run does. Exit status 1 when
// a step fails.
#include <cstdio>
#include <ctime>
#include <string>

#include "common/image_buffers.h"
#include "flash/chip_table.h"
#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "platform/clock.h"
#include "run/eeprom_job.h"
#include "run/image_load.h"
#include "sim/simulator.h"

namespace {

struct Step {
    bool ok = false;
    double modelledSeconds = 0;
    uint64_t reports = 0;
};

Step RunStep(const FlashPart& part, FlashTiming timing) {
    vexu::VirtualClock clock;
    vexu::ScopedClock useClock(clock);
    std::string error;
    auto sim = vexu::sim::MakeSimulator(std::string("latency-us=1000,flash=") + part.name, error);
    if (!sim) {
        fprintf(stderr, "%s\n", error.c_str());
        return {};
    }
    CDevManage::SetBackend(sim.get());
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, nullptr);
    EepromJobOptions options;
    options.timing = timing;
    Step step;
    const uint64_t start = clock.NowUs();
    CHidDevice::SetPort(kSerialPort, 0xFC, 0xFF, nullptr);
    step.ok = RunEepromJob(g_eepromData, g_eepromSize, options) == 1;
    CHidDevice::SetPort(kSerialPort, 0xFF, 0xFF, nullptr);
    step.modelledSeconds = static_cast<double>(clock.NowUs() - start) / 1e6;
    step.reports = sim->Counters().transfers;
    CDevManage::End();
    CDevManage::SetBackend(nullptr);
    return step;
}

}  // namespace

int main() {
    LoadEepromData();
    printf("%-12s %9s  %10s %10s  %9s %9s  %s\n", "part", "bytes", "fixed s", "chip s", "fixed rep", "chip rep",
           "chip/fixed");
    bool allOk = true;
    const std::clock_t cpuStart = std::clock();
    for (const FlashPart& part : FlashParts()) {
        const Step fixed = RunStep(part, FlashTiming::kFixed);
        const Step chip = RunStep(part, FlashTiming::kChip);
        allOk = allOk && fixed.ok && chip.ok;
        printf("%-12s %9u  %10.3f %10.3f  %9llu %9llu  %5.1f%%%s\n", part.name, part.size, fixed.modelledSeconds,
               chip.modelledSeconds, static_cast<unsigned long long>(fixed.reports),
               static_cast<unsigned long long>(chip.reports), 100.0 * chip.modelledSeconds / fixed.modelledSeconds,
               fixed.ok && chip.ok ? "" : "  FAILED");
    }
    printf("host CPU %.2f s for %zu parts, both ways\n", static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC,
           FlashParts().size());
    return allOk ? 0 : 1;
}
