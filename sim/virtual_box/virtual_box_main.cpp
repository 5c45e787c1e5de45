// vexu-virtual-box: the simulated programmer box and board as a HID device
// of the running kernel (through /dev/uhid), so that the programs reach it
// as they reach a real box: hidapi, /dev/hidrawN, the kernel's HID core,
// udev and its hot-plug events.
//
//   vexu-virtual-box [--instances N] [KEY=VALUE,...]
//
// The keys are those of "vexu-cli --simulate" plus a few of the virtual box
// (--help lists them all); it runs on the real clock. Ctrl-C or SIGTERM
// unplugs the boxes and prints what each saw.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/simulator.h"
#include "sim/virtual_box/virtual_box.h"

namespace {

using vexu::sim::Scenario;
using vexu::sim::ScenarioKeyHelp;
using vexu::sim::VirtualBox;
using vexu::sim::VirtualBoxSetup;

constexpr const char* kUhidPath = "/dev/uhid";
constexpr const char* kBoxName = "Vexu Virtual Programmer Box";
constexpr uint32_t kMaxInstances = 64;

constexpr ScenarioKeyHelp kVirtualBoxKeys[] = {
    {"replug-after-ms=N", "a box that went away (unplug-after, unplugged) is plugged in again after N ms"},
    {"station-pause-ms=N", "with station-boxes: the operator brings the next box N ms after taking one (500)"},
    {"short-answer=N", "the first report fetched from report N on is answered one byte short"},
    {"other-hid=VID:PID", "another HID device, not a programmer, is created beside the box"},
};

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: vexu-virtual-box [--instances N] [KEY=VALUE,...]\n"
                 "A simulated programmer box and board as a USB HID device (vendor 0xA112, product 0xB112)\n"
                 "of this kernel, through %s (needs the uhid module and access to it, usually root).\n"
                 "Ctrl-C or SIGTERM unplugs the boxes and prints what each saw.\n"
                 "  --instances N  N boxes, each with its own board and serial (default 1)\n"
                 "Keys of the virtual box:\n%s%s",
                 kUhidPath, vexu::sim::FormatScenarioHelp(kVirtualBoxKeys).c_str(),
                 vexu::sim::SimulatorHelp().c_str());
}

struct Options {
    uint32_t instances = 1;
    std::string keys;
};

bool ParseOptions(int argc, char** argv, Options& options, bool& help) {
    bool keysGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--instances" && i + 1 < argc) {
            uint64_t n = 0;
            if (!vexu::sim::ParseUnsigned(argv[++i], n) || n == 0 || n > kMaxInstances) {
                std::fprintf(stderr, "vexu-virtual-box: --instances takes 1 to %u, not %s\n", kMaxInstances, argv[i]);
                return false;
            }
            options.instances = static_cast<uint32_t>(n);
        } else if ((arg.empty() || arg[0] != '-') && !keysGiven) {
            options.keys = arg;
            keysGiven = true;
        } else {
            std::fprintf(stderr, "vexu-virtual-box: unexpected argument %s\n", arg.c_str());
            return false;
        }
    }
    return true;
}

// The virtual box's own keys, taken out of the scenario before the
// simulator takes the rest.
struct OwnKeys {
    std::optional<uint64_t> replugAfterMs;
    uint64_t stationPauseMs = 500;
    std::optional<uint64_t> shortAnswer;
    std::string otherHid;
};

bool TakeOwnKeys(Scenario& scenario, OwnKeys& own, std::string& error) {
    uint64_t replug = 0;
    uint64_t shortAnswer = 0;
    if (!scenario.TakeUnsigned("replug-after-ms", 3'600'000, replug, error) ||
        !scenario.TakeUnsigned("station-pause-ms", 3'600'000, own.stationPauseMs, error) ||
        !scenario.TakeUnsigned("short-answer", UINT32_MAX, shortAnswer, error) ||
        !scenario.TakeText("other-hid", own.otherHid, error))
        return false;
    if (scenario.Has("replug-after-ms")) own.replugAfterMs = replug;
    if (scenario.Has("short-answer")) {
        if (shortAnswer == 0) {
            error = "short-answer counts from 1";
            return false;
        }
        own.shortAnswer = shortAnswer;
    }
    return true;
}

// One box (or the other HID device) on its own uhid descriptor.
struct Device {
    int fd = -1;
    std::unique_ptr<VirtualBox> box;
};

bool WriteEvents(const Device& device, const std::vector<vexu::sim::uhid::Event>& events) {
    for (const auto& event : events) {
        if (write(device.fd, event.data(), event.size()) != static_cast<ssize_t>(event.size())) {
            std::fprintf(stderr, "vexu-virtual-box: writing to %s: %s\n", kUhidPath, std::strerror(errno));
            return false;
        }
    }
    return true;
}

// Each note with the monotonic clock's seconds, so that a test can tell how
// soon after a removal a program noticed it.
void PrintNotes(VirtualBox& box) {
    const double seconds = static_cast<double>(vexu::GetClock().NowUs()) / 1e6;
    for (const std::string& note : box.TakeNotes())
        std::printf("vexu-virtual-box: [%.3f] %s\n", seconds, note.c_str());
    std::fflush(stdout);
}

std::unique_ptr<VirtualBox> MakeBox(const Options& options, uint32_t instance, std::string& error) {
    // The virtual box answers as fast as it can: the kernel's own path has
    // its latency. A latency-us key still adds one.
    Scenario scenario;
    if (!Scenario::Parse(options.keys, scenario, error)) return nullptr;
    if (!scenario.Has("latency-us") &&
        !Scenario::Parse(options.keys.empty() ? "latency-us=0" : options.keys + ",latency-us=0", scenario, error))
        return nullptr;
    OwnKeys own;
    if (!TakeOwnKeys(scenario, own, error)) return nullptr;
    vexu::sim::SimulatorOptions simulator;
    std::unique_ptr<vexu::sim::SimBackend> sim = vexu::sim::MakeSimulator(scenario, simulator, error);
    if (!sim) return nullptr;
    error = scenario.LeftoverError();
    if (!error.empty()) return nullptr;

    VirtualBoxSetup setup;
    char serial[32];
    std::snprintf(serial, sizeof serial, "VB%05d-%02u", static_cast<int>(getpid()) % 100000, instance + 1);
    setup.identity.name = kBoxName;
    setup.identity.serial = serial;
    setup.identity.location = "vexu-virtual-box/" + std::to_string(getpid()) + "/" + std::to_string(instance + 1);
    setup.identity.vendorId = vexu::sim::kSimBoxVendorId;
    setup.identity.productId = vexu::sim::kSimBoxProductId;
    if (own.replugAfterMs) setup.replugAfterUs = *own.replugAfterMs * 1000;
    setup.stationBoxes = simulator.stationBoxes;
    setup.stationPauseUs = own.stationPauseMs * 1000;
    setup.shortAnswer = own.shortAnswer;
    return std::make_unique<VirtualBox>(std::move(sim), setup);
}

// The other HID device of other-hid=VID:PID, if the keys ask for one.
std::unique_ptr<VirtualBox> MakeOtherDevice(const Options& options, std::string& error) {
    Scenario scenario;
    if (!Scenario::Parse(options.keys, scenario, error)) return nullptr;
    std::string text;
    if (!scenario.TakeText("other-hid", text, error) || text.empty()) return nullptr;
    VirtualBoxSetup setup;
    if (!vexu::sim::ParseVidPid(text, setup.identity.vendorId, setup.identity.productId)) {
        error = "other-hid needs VID:PID, not \"" + text + "\"";
        return nullptr;
    }
    setup.identity.name = "Vexu Virtual Other HID Device";
    setup.identity.serial = "OTHER" + std::to_string(getpid());
    setup.identity.location = "vexu-virtual-box/" + std::to_string(getpid()) + "/other";
    return std::make_unique<VirtualBox>(nullptr, setup);
}

int OpenUhid() {
    const int fd = open(kUhidPath, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        std::fprintf(stderr, "vexu-virtual-box: cannot open %s: %s", kUhidPath, std::strerror(error));
        if (error == ENOENT) std::fprintf(stderr, " (load the kernel's uhid module: modprobe uhid)");
        if (error == EACCES || error == EPERM) std::fprintf(stderr, " (it needs root, or access to %s)", kUhidPath);
        std::fprintf(stderr, "\n");
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool help = false;
    if (!ParseOptions(argc, argv, options, help)) {
        Usage(stderr);
        return 2;
    }
    if (help) {
        Usage(stdout);
        return 0;
    }

    std::vector<Device> devices;
    std::string error;
    for (uint32_t i = 0; i < options.instances; ++i) {
        std::unique_ptr<VirtualBox> box = MakeBox(options, i, error);
        if (!box) {
            std::fprintf(stderr, "vexu-virtual-box: %s\n", error.c_str());
            return 2;
        }
        devices.push_back({-1, std::move(box)});
    }
    if (std::unique_ptr<VirtualBox> other = MakeOtherDevice(options, error)) {
        devices.push_back({-1, std::move(other)});
    } else if (!error.empty()) {
        std::fprintf(stderr, "vexu-virtual-box: %s\n", error.c_str());
        return 2;
    }

    // Signals arrive as readable data, between two events, never inside one.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    vexu::Clock& clock = vexu::GetClock();
    int status = 0;
    for (Device& device : devices) {
        device.fd = OpenUhid();
        if (device.fd < 0 || !WriteEvents(device, device.box->Begin(clock.NowUs()))) {
            status = 1;
            break;
        }
        PrintNotes(*device.box);
    }

    std::vector<uint8_t> buffer(vexu::sim::uhid::MaxEventSize());
    bool boxesDone = false;
    while (status == 0 && !boxesDone) {
        std::vector<pollfd> fds;
        for (const Device& device : devices) fds.push_back({device.fd, POLLIN, 0});
        fds.push_back({signalFd, POLLIN, 0});
        int timeoutMs = -1;
        const uint64_t now = clock.NowUs();
        for (const Device& device : devices) {
            if (const auto at = device.box->NextActionUs()) {
                const int wait = *at > now ? static_cast<int>((*at - now + 999) / 1000) : 0;
                timeoutMs = timeoutMs < 0 ? wait : std::min(timeoutMs, wait);
            }
        }
        if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
            std::fprintf(stderr, "vexu-virtual-box: poll: %s\n", std::strerror(errno));
            status = 1;
            break;
        }
        if (fds.back().revents & POLLIN) break;  // SIGINT or SIGTERM
        for (size_t i = 0; i < devices.size() && status == 0; ++i) {
            Device& device = devices[i];
            if (fds[i].revents & POLLIN) {
                const ssize_t n = read(device.fd, buffer.data(), buffer.size());
                if (n < 0 && errno != EINTR && errno != EAGAIN) {
                    std::fprintf(stderr, "vexu-virtual-box: reading %s: %s\n", kUhidPath, std::strerror(errno));
                    status = 1;
                } else if (n > 0 && !WriteEvents(device, device.box->Handle(
                                                              {buffer.data(), static_cast<size_t>(n)}, clock.NowUs()))) {
                    status = 1;
                }
            }
            if (status == 0 && !WriteEvents(device, device.box->Tick(clock.NowUs()))) status = 1;
            PrintNotes(*device.box);
        }
        // With station-boxes the program ends when every operator is done.
        boxesDone = true;
        for (const Device& device : devices)
            boxesDone = boxesDone && (device.box->Simulator() == nullptr || device.box->Done());
    }

    for (Device& device : devices) {
        if (device.fd < 0) continue;
        WriteEvents(device, device.box->End());
        PrintNotes(*device.box);
        close(device.fd);
        const std::string summary = device.box->Summary();
        if (!summary.empty())
            std::fprintf(stderr, "%s: %s\n", device.box->Identity().serial.c_str(), summary.c_str());
    }
    return status;
}
