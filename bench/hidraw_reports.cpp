// Feature reports per second through the kernel's HID stack: the hidapi
// backend against a box on /dev/hidrawN (on a machine without one, the
// virtual box of vexu-virtual-box). Each kind of report is timed through the
// commands that carry it:
//   SET 64   LightLed: one command report
//   GET 64   ShiftOut of 8 bits: a command report and one data report fetched
//   SET 320  a serial transfer of 304 bytes out: a command report and one bulk report
//   GET 320  a serial transfer of 304 bytes in: command and data reports, one bulk report fetched
// and the time of the reports around it subtracted (medians of COUNT turns).
//
//   bench_hidraw_reports [COUNT]   (default 2000 of each)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "link/dev_manage.h"
#include "link/hid_device.h"
#include "platform/hidapi_backend.h"
#include "platform/messages.h"

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (count <= 0) {
        std::fprintf(stderr, "usage: bench_hidraw_reports [COUNT]\n");
        return 2;
    }
    std::unique_ptr<vexu::HidBackend> backend = vexu::MakeHidapiBackend();
    vexu::RecordingTarget events;
    CDevManage::SetBackend(backend.get());
    CDevManage::Start(kProgrammerVendorId, kProgrammerProductId, &events);
    if (!CDevManage::GetHandle()) {
        std::fprintf(stderr, "bench_hidraw_reports: no programmer box (start vexu-virtual-box)\n");
        return 3;
    }
    CHidDevice::SetPort(kSerialPort, 0xFC, 0xFF, nullptr);
    std::vector<unsigned char> bytes(304, 0), in(1, 0);
    unsigned char bits = 0;
    // The kinds take turns, so that a slow moment of the machine weighs on
    // each alike; medians leave such moments out.
    const std::function<int()> commands[] = {
        [] { return CHidDevice::LightLed(0, 0); },
        [&] { return CHidDevice::ShiftOut(8, &bits); },
        [&] { return CHidDevice::SendTransmitCommand(0, 0, 0, bytes.data(), 304, nullptr, 0); },
        [&] { return CHidDevice::SendTransmitCommand(0, 0, 0, in.data(), 1, bytes.data(), 304); },
    };
    std::vector<double> us[4];
    const double cpuStart = CpuSeconds();
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        for (size_t k = 0; k < 4 && ok; ++k) {
            const auto start = std::chrono::steady_clock::now();
            ok = commands[k]() == 1;
            us[k].push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        }
    }
    const double cpu = CpuSeconds() - cpuStart;
    CHidDevice::SetPort(kSerialPort, 0xFF, 0xFF, nullptr);
    CDevManage::End();
    if (!ok) {
        std::fprintf(stderr, "bench_hidraw_reports: a transfer failed\n");
        return 1;
    }
    const double set64 = Median(us[0]);
    const double shiftOut = Median(us[1]);
    const double sendBulk = Median(us[2]);
    const double fetchBulk = Median(us[3]);
    struct Row {
        const char* kind;
        double us;
    };
    const Row rows[] = {
        {"SET 64", set64},
        {"GET 64", shiftOut - set64},
        {"SET 320", sendBulk - set64},
        {"GET 320", fetchBulk - 2 * set64},
    };
    std::printf("%-8s %12s %14s\n", "report", "us each", "reports/s");
    for (const Row& row : rows) std::printf("%-8s %12.1f %14.0f\n", row.kind, row.us, 1e6 / row.us);
    std::printf("host CPU %.1f us per report (%d commands of each kind, %d reports)\n",
                cpu * 1e6 / (count * 9.0), count, count * 9);
    return 0;
}
