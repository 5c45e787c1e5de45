// "program" and then "verify" of the demo FPGA image on the simulated board,
// in virtual time: the reports sent, the host's CPU and wall time, and the
// time the same traffic would take with a real box at the simulator's USB
// latency. The engine's own work must stay under 1% of that modelled time.
//
// Exit status 1 when a run fails or the host CPU reaches 1% of the
// modelled time.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "engine/dp_state.h"
#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "platform/clock.h"
#include "run/fpga_job.h"
#include "common/image_buffers.h"
#include "sim/simulator.h"
#include "tools/image/demo_images.h"

namespace {

struct Measure {
    const char* action;
    uint64_t reports;
    double cpuSeconds;
    double wallSeconds;
    double modelledSeconds;
    bool succeeded;
};

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

}  // namespace

int main() {
    vexu::VirtualClock clock;
    vexu::ScopedClock scopedClock(clock);
    std::string error;
    std::unique_ptr<vexu::sim::SimBackend> sim = vexu::sim::MakeSimulator("jtag=fpga", error);
    if (!sim) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }
    CDevManage::SetBackend(sim.get());
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, nullptr);
    CHidDevice::SetPort(kJtagPort, 0x01, 0x0E, nullptr);

    std::vector<uint8_t> image = vexu::image::MakeDemoFpgaImage();
    g_fpgaData = image.data();
    g_fpgaSize = static_cast<uint32_t>(image.size());

    std::vector<Measure> measures;
    for (const char* action : {"program", "verify"}) {
        const vexu::sim::BoxCounters before = sim->Box().Counters();
        const uint64_t modelledBefore = sim->ModelledTimeUs();
        const double cpuBefore = CpuSeconds();
        const auto wallBefore = std::chrono::steady_clock::now();
        const bool ok = RunFpgaJob(action) == 1;
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallBefore;
        const vexu::sim::BoxCounters after = sim->Box().Counters();
        measures.push_back({action,
                            (after.reportsWritten - before.reportsWritten) + (after.reportsFetched - before.reportsFetched),
                            CpuSeconds() - cpuBefore, wall.count(),
                            static_cast<double>(sim->ModelledTimeUs() - modelledBefore) / 1e6, ok});
    }
    CDevManage::End();
    CDevManage::SetBackend(nullptr);

    Measure total{"program + verify", 0, 0, 0, 0, true};
    std::printf("%-18s %10s %12s %12s %14s %10s\n", "action", "reports", "host CPU s", "wall s", "modelled s", "CPU share");
    measures.push_back(total);
    for (size_t i = 0; i + 1 < measures.size(); ++i) {
        Measure& t = measures.back();
        t.reports += measures[i].reports;
        t.cpuSeconds += measures[i].cpuSeconds;
        t.wallSeconds += measures[i].wallSeconds;
        t.modelledSeconds += measures[i].modelledSeconds;
        t.succeeded = t.succeeded && measures[i].succeeded;
    }
    for (const Measure& m : measures) {
        std::printf("%-18s %10llu %12.3f %12.3f %14.3f %9.3f%%%s\n", m.action,
                    static_cast<unsigned long long>(m.reports), m.cpuSeconds, m.wallSeconds, m.modelledSeconds,
                    m.modelledSeconds > 0 ? 100.0 * m.cpuSeconds / m.modelledSeconds : 0.0,
                    m.succeeded ? "" : "  FAILED");
    }
    const Measure& t = measures.back();
    std::printf("USB latency %llu us per report\n", static_cast<unsigned long long>(vexu::sim::kDefaultUsbLatencyUs));
    if (!t.succeeded) return 1;
    if (t.cpuSeconds >= 0.01 * t.modelledSeconds) {
        std::printf("host CPU is %.3f%% of the modelled time: above 1%%\n", 100.0 * t.cpuSeconds / t.modelledSeconds);
        return 1;
    }
    return 0;
}
