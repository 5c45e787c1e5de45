// Encoding and sending programmer commands to a backend that accepts every
// report: nanoseconds per report for each command kind, and heap
// allocations per report (there should be none).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "link/dev_manage.h"
#include "link/hid_device.h"

namespace {

std::atomic<size_t> g_allocations{0};

class NullBackend final : public vexu::HidBackend {
public:
    bool Enumerate(std::vector<vexu::HidDeviceInfo>& devices) override {
        vexu::HidInterfaceInfo box;
        box.path = "null";
        devices = {vexu::HidDeviceInfo{{box}}};
        return true;
    }
    vexu::HidHandle Open(const std::string&) override { return 1; }
    bool GetAttributes(vexu::HidHandle, uint16_t& vendorId, uint16_t& productId) override {
        vendorId = kProgrammerVendorId;
        productId = kProgrammerProductId;
        return true;
    }
    bool SetFeature(vexu::HidHandle, const uint8_t*, size_t) override {
        ++reports;
        return true;
    }
    bool GetFeature(vexu::HidHandle, uint8_t*, size_t) override {
        ++reports;
        return true;
    }
    void Close(vexu::HidHandle) override {}
    std::string PathOf(vexu::HidHandle) override { return "null"; }
    size_t reports = 0;
};

NullBackend g_backend;

struct Started {
    Started() {
        CDevManage::SetBackend(&g_backend);
        CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, nullptr);
    }
};

template <typename Command>
void RunCommand(benchmark::State& state, Command command) {
    static Started started;
    size_t reportsBefore = g_backend.reports;
    size_t allocationsBefore = g_allocations;
    for (auto _ : state) benchmark::DoNotOptimize(command());
    const double reports = static_cast<double>(g_backend.reports - reportsBefore);
    state.counters["ns/report"] =
        benchmark::Counter(reports, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocs/report"] = reports ? static_cast<double>(g_allocations - allocationsBefore) / reports : 0;
    state.counters["reports/op"] = reports / static_cast<double>(state.iterations());
}

uint8_t g_data[512];
uint8_t g_out[512];

void BM_GotoState(benchmark::State& s) { RunCommand(s, [] { return CHidDevice::GotoState(2); }); }
void BM_LightLed(benchmark::State& s) { RunCommand(s, [] { return CHidDevice::LightLed(1, 1); }); }
void BM_WaitCycles(benchmark::State& s) { RunCommand(s, [] { return CHidDevice::WaitCycles(3); }); }
void BM_ShiftIn128(benchmark::State& s) { RunCommand(s, [] { return CHidDevice::ShiftIn(0, 128, g_data, 1); }); }
void BM_ShiftOut32(benchmark::State& s) { RunCommand(s, [] { return CHidDevice::ShiftOut(32, g_out); }); }
void BM_ShiftInOut1000(benchmark::State& s) {
    RunCommand(s, [] { return CHidDevice::ShiftInOut(1000, g_data, g_out); });
}
void BM_ShiftOutEx5(benchmark::State& s) {
    RunCommand(s, [] { return CHidDevice::ShiftOutEx(4, 0x84, 2, 0, 1, 5, g_out, 3, 2, 0); });
}
void BM_ShiftInFrameRow(benchmark::State& s) {
    RunCommand(s, [] { return CHidDevice::ShiftInFrame(4, 0x89, 8, 1, 0, 416, g_data, 26, 3, 2, 3, 0); });
}
void BM_TransmitPage(benchmark::State& s) {
    RunCommand(s, [] { return CHidDevice::SendTransmitCommand(1, 6, 1, g_data, 260, nullptr, 0); });
}
void BM_TransmitReadPage(benchmark::State& s) {
    RunCommand(s, [] { return CHidDevice::SendTransmitCommand(0, 0, 1, g_data, 4, g_out, 256); });
}

BENCHMARK(BM_GotoState);
BENCHMARK(BM_LightLed);
BENCHMARK(BM_WaitCycles);
BENCHMARK(BM_ShiftIn128);
BENCHMARK(BM_ShiftOut32);
BENCHMARK(BM_ShiftInOut1000);
BENCHMARK(BM_ShiftOutEx5);
BENCHMARK(BM_ShiftInFrameRow);
BENCHMARK(BM_TransmitPage);
BENCHMARK(BM_TransmitReadPage);

}  // namespace

// Counts every allocation of the process; GCC cannot see that these
// replacements pair malloc with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

BENCHMARK_MAIN();
