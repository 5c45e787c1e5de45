// Boards per hour of a gang station with 1, 2, 4 and 8 simulated boxes on
// the real clock, and the processor time each board costs.
//
// Scaled down so that the whole bench takes under a minute: each slot runs
// one board, the serial flash only, with a 4 KiB image, at the simulated
// box's USB pace of 1 ms per report. Such a run takes about 10.5 s, nearly
// all of it the serial-flash job's two 5 s settles and the USB round trips
// (as on real hardware, the host mostly waits), so several boxes at once
// should come close to as many times the boards.
//
//   bench_gang_throughput [BOARDS_PER_SLOT] [--fpga]
//     --fpga  whole runs, FPGA and serial flash (about 47 s a board)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/process.h"

namespace {

double ChildrenCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Measured {
    int boards = 0;
    int passed = 0;
    double seconds = 0;
    double cpuSeconds = 0;
};

Measured Station(int boxes, int boardsPerSlot, bool fpga, const std::string& image, const std::string& state) {
    std::vector<std::string> args = {VEXU_CLI_PATH,
                                     "--simulate=realtime,boxes=" + std::to_string(boxes) +
                                         ",station-boxes=" + std::to_string(boardsPerSlot),
                                     "--json"};
    if (!fpga) args.insert(args.end(), {"--eeprom-image", image});
    args.insert(args.end(), {"run", "--station", "--gang"});
    if (!fpga) args.push_back("--no-fpga");
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    setenv("VEXU_JOURNAL", "off", 1);
    const double cpuBefore = ChildrenCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    std::unique_ptr<vexu::ChildProcess> station = vexu::ChildProcess::Start(args, error);
    Measured measured;
    if (!station) {
        std::fprintf(stderr, "bench_gang_throughput: %s\n", error.c_str());
        return measured;
    }
    std::string output;
    std::string errors;
    while (!station->OutputEnded()) {
        usleep(20'000);
        station->ReadOutput(output);
        station->ReadError(errors);
    }
    station->Wait();
    measured.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    measured.cpuSeconds = ChildrenCpuSeconds() - cpuBefore;
    // One result line per board, tagged with its slot.
    size_t from = 0;
    for (size_t end; (end = output.find('\n', from)) != std::string::npos; from = end + 1) {
        const std::string line = output.substr(from, end - from);
        if (line.find("\"event\":\"result\"") == std::string::npos) continue;
        ++measured.boards;
        measured.passed += line.find("\"ok\":true") != std::string::npos;
    }
    return measured;
}

}  // namespace

int main(int argc, char** argv) {
    int boardsPerSlot = 1;
    bool fpga = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fpga") == 0)
            fpga = true;
        else
            boardsPerSlot = std::max(1, std::atoi(argv[i]));
    }
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("vexu-gang-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string image = (dir / "flash.bin").string();
    std::ofstream(image, std::ios::binary) << std::string(4096, '\x5A');

    std::printf("%-6s %8s %10s %12s %14s %16s\n", "boxes", "boards", "seconds", "boards/hour", "vs N x one box",
                "CPU s per board");
    double single = 0;
    double singleCpu = 0;
    double lastCpu = 0;
    int status = 0;
    for (int boxes : {1, 2, 4, 8}) {
        const Measured m = Station(boxes, boardsPerSlot, fpga, image, (dir / ("state" + std::to_string(boxes))).string());
        if (m.boards != boxes * boardsPerSlot || m.passed != m.boards) {
            std::fprintf(stderr, "bench_gang_throughput: %d boxes: %d boards, %d passed\n", boxes, m.boards, m.passed);
            status = 1;
        }
        const double perHour = m.boards / m.seconds * 3600;
        const double cpuPerBoard = m.boards ? m.cpuSeconds / m.boards : 0;
        if (boxes == 1) {
            single = perHour;
            singleCpu = cpuPerBoard;
        }
        lastCpu = cpuPerBoard;
        std::printf("%-6d %8d %10.2f %12.0f %14.2f %16.3f\n", boxes, m.boards, m.seconds, perHour,
                    single > 0 ? perHour / (boxes * single) : 0, cpuPerBoard);
    }
    std::printf("CPU per board with 8 boxes against one box: %.2f\n", singleCpu > 0 ? lastCpu / singleCpu : 0);
    std::filesystem::remove_all(dir);
    return status;
}
