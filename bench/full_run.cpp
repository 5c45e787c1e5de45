// One whole run as the start button does it — FPGA "program" of the embedded
// demo image, then the serial flash — on the simulated board in virtual
// time: reports written and fetched per step, the host's CPU and wall time,
// the time the same traffic takes with a real box at 1 ms per transfer, and
// the process's peak memory. Exit status 1 when the run fails or the host
// CPU reaches 1% of the modelled time.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "link/dev_manage.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "platform/trace.h"
#include "common/image_buffers.h"
#include "run/image_load.h"
#include "common/run_messages.h"
#include "run/thread_action.h"
#include "sim/simulator.h"

namespace {

struct Counts {
    uint64_t written = 0;
    uint64_t fetched = 0;
    uint64_t latencyUs = 0;
};

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

}  // namespace

int main() {
    vexu::VirtualClock clock;
    vexu::ScopedClock useClock(clock);
    std::string error;
    auto sim = vexu::sim::MakeSimulator("latency-us=1000", error);
    if (!sim) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    LoadFpgaData();
    LoadEepromData();
    vexu::RecordingTarget devices;
    vexu::MessageQueue window;
    CDevManage::SetBackend(sim.get());
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &devices);
    InitMsgQueue(&window);

    auto snapshot = [&] {
        Counts c;
        sim->Inspect([&](vexu::sim::SimBox& box) {
            c.written = box.Counters().reportsWritten;
            c.fetched = box.Counters().reportsFetched;
        });
        c.latencyUs = sim->Counters().latencyUs;
        return c;
    };
    // The serial-flash step begins where the worker switches its port on.
    Counts atFlashStep;
    vexu::TraceObserver observer([&](std::string_view line) {
        if (line.find("Enable Eeprom Port.") != std::string_view::npos) atFlashStep = snapshot();
    });

    const uint64_t virtual0 = clock.NowUs();
    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    CThreadAction worker;
    worker.StartAction(1, 1, &window);
    vexu::MessageQueue::Message m;
    vexu::LPARAM result = 0;
    while (window.Wait(m, std::chrono::minutes(10))) {
        if (m.message == vexu::WM_RUN_TEXT) GetMsgText();
        if (m.message == vexu::WM_RUN_END) {
            result = m.lParam;
            break;
        }
    }
    worker.End();
    const double cpu = CpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const Counts end = snapshot();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);

    const double modelled = static_cast<double>(end.latencyUs) / 1e6;
    const double runDuration = static_cast<double>(clock.NowUs() - virtual0) / 1e6;
    printf("%-22s %10s %10s %14s\n", "step", "written", "fetched", "modelled s");
    printf("%-22s %10llu %10llu %14.3f\n", "FPGA \"program\"", (unsigned long long)atFlashStep.written,
           (unsigned long long)atFlashStep.fetched, static_cast<double>(atFlashStep.latencyUs) / 1e6);
    printf("%-22s %10llu %10llu %14.3f\n", "serial flash", (unsigned long long)(end.written - atFlashStep.written),
           (unsigned long long)(end.fetched - atFlashStep.fetched),
           static_cast<double>(end.latencyUs - atFlashStep.latencyUs) / 1e6);
    printf("%-22s %10llu %10llu %14.3f\n", "whole run", (unsigned long long)end.written,
           (unsigned long long)end.fetched, modelled);
    printf("\nhost CPU %.3f s, wall %.3f s (virtual time), modelled at 1 ms per transfer %.3f s\n", cpu, wall,
           modelled);
    printf("the run's duration on real hardware (transfers, waits, chip busy times): %.3f s\n", runDuration);
    printf("host CPU / modelled transfer time: %.3f%%\n", 100.0 * cpu / modelled);
    printf("peak memory (RSS): %ld KiB\n", usage.ru_maxrss);
    printf("result: %s\n", result == RUN_OK ? "RUN_OK" : "RUN_FAILED");

    FreeMsgQueue();
    CDevManage::End();
    CDevManage::SetBackend(nullptr);
    FreeImageData();
    return result == RUN_OK && cpu < 0.01 * modelled ? 0 : 1;
}
