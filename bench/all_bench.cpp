// quillet-cli --all against 1, 2, 4 and 8 simulated generators (one
// quillet-sim --count N) whose lines run at 115200 baud, as real ones do:
// a short FPGA image (64 KiB, 256 blocks) to every generator at once. The
// line, not the PC, is the limit, so eight should take about as long as
// one. Printed: wall time of the command, its ratio to one instrument, the
// command line's CPU time in all and per instrument, its peak memory.
// Then the peak memory of eight full user-pattern uploads at once (the
// simulators answering as fast as they can).
//
// With --line, what a production line meets instead: peak memory and wall
// time of full user-pattern uploads to 1, 8 and 64 generators at once, of
// a 10,000-entry map (COM1 to COM99 used, the rest left out) with two
// generators in it, and how long Ctrl+C takes to end a --watch on that map.
//
//   all_bench [--quick]     (--quick: 1 and 8 instruments only)
//   all_bench --line
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
    // Started in the background by a shell, the bench inherits SIGINT
    // ignored, and so would the command line (it keeps an ignored SIGINT
    // ignored): its Ctrl+C is measured with the default disposition.
    signal(SIGINT, SIG_DFL);
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

// Seconds from SIGINT to the end of a --watch started with `args`, once it
// has run for `settleS`; the exit code in `code`.
double CtrlCSeconds(const std::vector<std::string>& args, const std::filesystem::path& cwd, double settleS,
                    int& code) {
    const pid_t pid = Spawn(QUILLET_CLI_PATH, args, cwd.string(), -1);
    usleep(static_cast<useconds_t>(settleS * 1e6));
    const auto t0 = Clock::now();
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return MsSince(t0) / 1000.0;
}

// A --ports list of 10,000 entries: the devices of `sims` at COM1 and
// COM50, nothing behind the others (short relative names).
std::string TenThousandEntries(const std::string& simPorts) {
    const std::string first = simPorts.substr(0, simPorts.find(','));
    const std::string second = simPorts.substr(simPorts.find(',') + 1);
    std::string list;
    for (int com = 1; com <= 10000; ++com)
        list += (com == 1 ? "" : ",") + (com == 1 ? first : com == 50 ? second : "n" + std::to_string(com));
    return list;
}

int LineBench() {
    const std::filesystem::path dir = FreshDir("quillet-line-bench");
    const std::string image = (dir / "pattern.bmp").string();
    if (!WriteSamplePatternBmp(image)) return 1;
    bool ok = true;
    std::printf("pattern --slot 1 --all, 24300 blocks to each generator (simulators as fast as they answer):\n");
    std::printf("  %-12s %9s %10s %10s %16s\n", "instruments", "wall s", "CPU s", "peak MB", "10 + 8/instr. MB");
    for (unsigned n : {1u, 8u, 64u}) {
        Sims sims(n, {}, dir / ("sim" + std::to_string(n)));
        const Run r = RunCli({"--ports", sims.ports, "pattern", "--slot", "1", "--all", image}, dir);
        std::printf("  %-12u %9.2f %10.2f %10.1f %16.0f%s\n", n, r.wallS, r.cpuS, r.peakMb, 10.0 + 8.0 * n,
                    r.code == 0 ? "" : "  FAILED");
        ok = ok && r.code == 0;
    }
    std::filesystem::create_directories(dir / "data");
    WriteRandomFile(dir / "data" / "GENERATOR_FPGA.bin", 64 * 1024, 4);
    Sims two(2, {}, dir / "sim-map");
    const std::string map = TenThousandEntries(two.ports);
    Run r = RunCli({"--ports", map, "fpga", "generator", "--all"}, dir);
    std::printf("10,000-entry map, 2 generators (fpga generator, 256 blocks each):\n");
    std::printf("  %.2f s wall, %.2f s CPU, peak memory %.1f MB%s\n", r.wallS, r.cpuS, r.peakMb,
                r.code == 0 ? "" : "  FAILED");
    ok = ok && r.code == 0;
    r = RunCli({"--ports", map, "pattern", "--slot", "1", "--all", image}, dir);
    std::printf("  the same map, pattern: %.2f s wall, peak memory %.1f MB%s\n", r.wallS, r.peakMb,
                r.code == 0 ? "" : "  FAILED");
    ok = ok && r.code == 0;
    int code = 0;
    const double stopS = CtrlCSeconds({"--ports", map, "pattern", "--slot", "1", "--all", "--watch", image}, dir, 2.0, code);
    std::printf("  Ctrl+C during a --watch pattern upload on it: ended after %.2f s, exit %d%s\n", stopS, code,
                code == 130 ? "" : "  FAILED");
    ok = ok && code == 130;
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--line") == 0) return LineBench();
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
