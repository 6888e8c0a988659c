// quillet-cli --all against 1, 2, 4 and 8 simulated generators (one
// quillet-sim --count N) whose lines run at 115200 baud, as real ones do:
// a short FPGA image (64 KiB, 256 blocks) to every generator at once. The
// line, not the PC, is the limit, so eight should take about as long as
// one. Printed: wall time of the command, its ratio to one instrument, the
// command line's CPU time in all and per instrument, its peak memory.
// Then the peak memory of eight full user-pattern uploads at once (the
// simulators answering as fast as they can).
//
//   all_bench [--quick]     (--quick: 1 and 8 instruments only)
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/BenchSupport.h"
#include "pattern/SamplePattern.h"

using namespace quillet;
using namespace quillet::bench;

namespace {

pid_t Spawn(const std::string& program, const std::vector<std::string>& args, const std::string& cwd, int outFd) {
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(outFd >= 0 ? outFd : devnull, 1);
    dup2(devnull, 2);
    execv(program.c_str(), argv.data());
    _exit(127);
}

// quillet-sim --count N in the background; its devices as a --ports list.
struct Sims {
    pid_t pid = -1;
    std::string ports;
    Sims(unsigned n, const std::vector<std::string>& more, const std::filesystem::path& out) {
        int p[2];
        if (pipe(p) != 0) return;
        std::vector<std::string> args{"--count", std::to_string(n), "--delay", "0", "--erase-ms", "0",
                                      "--out", out.string()};
        args.insert(args.end(), more.begin(), more.end());
        pid = Spawn(QUILLET_SIM_PATH, args, "", p[1]);
        close(p[1]);
        std::string text;
        unsigned lines = 0;
        char c;
        while (lines < n && read(p[0], &c, 1) == 1) {
            if (c == '\n') {
                ++lines;
                c = ',';
            }
            text += c;
        }
        close(p[0]);
        if (!text.empty()) text.pop_back();
        ports = text;
    }
    ~Sims() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

struct Run {
    int code = -1;
    double wallS = 0;
    double cpuS = 0;
    double peakMb = 0;
};

Run RunCli(const std::vector<std::string>& args, const std::filesystem::path& cwd) {
    Run r;
    const auto t0 = Clock::now();
    const pid_t pid = Spawn(QUILLET_CLI_PATH, args, cwd.string(), -1);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    r.wallS = MsSince(t0) / 1000.0;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.cpuS = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    r.peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    return r;
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const std::filesystem::path dir = FreshDir("quillet-all-bench");
    std::filesystem::create_directories(dir / "data");
    const std::size_t imageBytes = 64 * 1024;
    WriteRandomFile(dir / "data" / "GENERATOR_FPGA.bin", imageBytes, 3);

    std::printf("fpga generator --all, %zu bytes (%zu blocks) to each generator, lines at 115200 baud:\n",
                imageBytes, imageBytes / 256);
    // Each block: 270 bytes out and a 13-byte acknowledgement back, 10 bits a byte.
    const double lineS = static_cast<double>(imageBytes / 256) * (270 + 13) * 10 / 115200.0;
    std::printf("  (the bytes of one generator's blocks need %.2f s on its line)\n", lineS);
    std::printf("  %-12s %9s %9s %10s %14s %10s\n", "instruments", "wall s", "vs one", "CPU s", "CPU/instr. s",
                "peak MB");
    double one = 0;
    bool ok = true;
    for (unsigned n : {1u, 2u, 4u, 8u}) {
        if (quick && n != 1 && n != 8) continue;
        Sims sims(n, {"--baud", "115200"}, dir / ("sim" + std::to_string(n)));
        const Run r = RunCli({"--ports", sims.ports, "fpga", "generator", "--all"}, dir);
        if (n == 1) one = r.wallS;
        std::printf("  %-12u %9.2f %9.2f %10.2f %14.3f %10.1f%s\n", n, r.wallS, one > 0 ? r.wallS / one : 0.0,
                    r.cpuS, r.cpuS / n, r.peakMb, r.code == 0 ? "" : "  FAILED");
        ok = ok && r.code == 0;
    }

    // Memory: eight full user patterns at once, each dialog with its own
    // raster and stream.
    const std::string image = (dir / "pattern.bmp").string();
    if (!WriteSamplePatternBmp(image)) return 1;
    Sims sims(8, {}, dir / "sim-pattern");
    const Run r = RunCli({"--ports", sims.ports, "pattern", "--slot", "1", "--all", image}, dir);
    std::printf("pattern --slot 1 --all to 8 generators (24300 blocks each, as fast as the simulators answer):\n");
    std::printf("  %.1f s wall, %.2f s CPU, peak memory %.1f MB%s\n", r.wallS, r.cpuS, r.peakMb,
                r.code == 0 ? "" : "  FAILED");
    ok = ok && r.code == 0;
    return ok ? 0 : 1;
}
