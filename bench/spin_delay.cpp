// Accuracy of the engine's microsecond delay on the real clock: after
// dp_calibrate_delay, dp_spin_delay(n) runs many times for each nominal n;
// the table gives the measured wall time over n (lowest, median, worst: it
// must never be below 1.0 and is meant to be about 1.2) and the processor
// time each call burns, as microseconds and as a share of the median wait
// (on a machine where other processes compete for the cores, the worst
// ratio shows the moments this one had to wait for a core). Long delays
// sleep most of their length, so their share stays low.
//
// Usage: bench_spin_delay [rounds-scale]   (default 1; exits 1 when any delay
// was shorter than its nominal length)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "engine/dp_jtag.h"
#include "engine/dp_state.h"

namespace {

struct Row {
    uint32_t nominalUs;
    int calls;
};

constexpr Row kRows[] = {{20, 2000}, {48, 2000}, {100, 1000}, {264, 500}, {1000, 300}, {10000, 60}};

double CpuUs() { return static_cast<double>(std::clock()) * 1e6 / CLOCKS_PER_SEC; }

}  // namespace

int main(int argc, char** argv) {
    const double scale = argc > 1 ? std::max(0.01, std::atof(argv[1])) : 1.0;
    dp_calibrate_delay();
    printf("dp_spin_delay after dp_calibrate_delay: delay loop count %u\n\n", g_dpState.delayLoopCount);
    printf("| nominal us | calls | lowest ratio | median ratio | worst ratio | CPU us per call | CPU share |\n");
    printf("|-----------:|------:|-------------:|-------------:|------------:|----------------:|----------:|\n");
    bool tooShort = false;
    for (const Row& row : kRows) {
        const int calls = std::max(5, static_cast<int>(row.calls * scale));
        std::vector<double> ratios;
        ratios.reserve(calls);
        const double cpuStart = CpuUs();
        for (int i = 0; i < calls; ++i) {
            const auto start = std::chrono::steady_clock::now();
            dp_spin_delay(row.nominalUs);
            const double us =
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
            ratios.push_back(us / row.nominalUs);
        }
        const double cpuUs = CpuUs() - cpuStart;
        std::sort(ratios.begin(), ratios.end());
        if (ratios.front() < 1.0) tooShort = true;
        const double median = ratios[ratios.size() / 2];
        printf("| %10u | %5d | %12.3f | %12.3f | %11.3f | %15.1f | %8.1f%% |\n", row.nominalUs, calls, ratios.front(),
               median, ratios.back(), cpuUs / calls, 100.0 * cpuUs / calls / (median * row.nominalUs));
    }
    if (tooShort) printf("\nA delay was shorter than its nominal length.\n");
    return tooShort ? 1 : 0;
}
