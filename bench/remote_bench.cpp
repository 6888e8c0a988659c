// The cost of the network hop: the same panel upload (300 acknowledged
// blocks) and the same main-MCU update (--fast, 128-byte pieces at 8E1) by
// quillet-cli to a simulator paced at 115200 baud, directly on its
// pseudo-terminal, over ser2net's raw TCP port (socket://) and over its
// RFC 2217 port (rfc2217://), all on 127.0.0.1 in one run. Prints seconds,
// blocks per second and the ratio to the direct line. ser2net runs with
// chardelay off (its default holds every answer for at least a millisecond).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "tests/net/Ser2netSupport.h"

using namespace quillet;
using namespace quillet::bench;

namespace {

constexpr unsigned kBaud = 115200;
constexpr unsigned kPanelBlocks = 300;
constexpr std::size_t kMcuImageBytes = 16 * 1024;
constexpr int kRepeats = 2;

// Runs quillet-cli in `cwd` with its output discarded; seconds taken, or a
// negative number when it failed.
double TimedCli(const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> all{QUILLET_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(126);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = MsSince(t0) / 1000.0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// The best of a few runs.
double Best(const std::vector<std::string>& args, const std::string& cwd) {
    double best = -1;
    for (int i = 0; i < kRepeats; ++i) {
        const double s = TimedCli(args, cwd);
        if (s < 0) return -1;
        if (best < 0 || s < best) best = s;
    }
    return best;
}

void Row(const char* what, const char* path, double seconds, double direct, unsigned units, const char* unit) {
    if (seconds < 0) {
        std::printf("  %-10s %-12s failed\n", what, path);
        return;
    }
    std::printf("  %-10s %-12s %7.2f s  %7.1f %s/s  %5.3fx direct\n", what, path, seconds, units / seconds, unit,
                direct > 0 ? seconds / direct : 0.0);
}

} // namespace

int main() {
    namespace fs = std::filesystem;
    if (!test::Ser2net::Installed()) {
        std::fprintf(stderr, "remote_bench: %s is missing (scripts/setup.sh installs ser2net)\n", test::kSer2netPath);
        return 1;
    }
    const fs::path dir = FreshDir("quillet-remote-bench");
    const std::string panel = (dir / "panel.bmp").string();
    {
        // A 240x160 24-bit BMP of random pixels.
        std::vector<std::uint8_t> bmp(54 + 240 * 160 * 3);
        const std::uint32_t fileSize = static_cast<std::uint32_t>(bmp.size());
        const std::uint8_t header[54] = {'B', 'M', std::uint8_t(fileSize), std::uint8_t(fileSize >> 8),
                                         std::uint8_t(fileSize >> 16), 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0,
                                         240, 0, 0, 0, 160, 0, 0, 0, 1, 0, 24, 0};
        std::copy(header, header + 54, bmp.begin());
        std::mt19937 rng(5);
        for (std::size_t i = 54; i < bmp.size(); ++i) bmp[i] = static_cast<std::uint8_t>(rng());
        std::ofstream(panel, std::ios::binary).write(reinterpret_cast<const char*>(bmp.data()), std::streamsize(bmp.size()));
    }
    fs::create_directories(dir / "data");
    WriteRandomFile(dir / "data/GENERATOR_MCU.bin", kMcuImageBytes, 9);

    SimBench sims;
    for (int i = 0; i < 3; ++i) {
        sim::Options o;
        o.searchReplyDelayMs = 0;
        o.eraseTimeMs = 0;
        o.bannerDelayMs = 0;
        o.baud = kBaud;
        o.outputDir = (dir / ("sim" + std::to_string(i))).string();
        fs::create_directories(o.outputDir);
        sims.Add(o);
    }
    test::Ser2net server(dir.string(), {{sims.paths[1], false}, {sims.paths[2], true}});
    if (!server.Ready()) {
        std::fprintf(stderr, "remote_bench: ser2net did not start\n");
        return 1;
    }
    // The simulator keeps the bootloader's parity on its own pty.
    setenv("QUILLET_SIM_PTYS", sims.paths[0].c_str(), 1);
    const std::vector<std::string> ports{sims.paths[0], server.Url(0), server.Url(1)};
    const char* names[] = {"direct", "socket://", "rfc2217://"};

    std::printf("remote_bench: quillet-cli to quillet-sim paced at %u baud, via ser2net %s on 127.0.0.1 (best of %d)\n",
                kBaud, "(chardelay off)", kRepeats);
    double direct = -1;
    for (int i = 0; i < 3; ++i) {
        const double s = Best({"--ports", ports[i], "panel", "--slot", "1", panel}, dir.string());
        if (i == 0) direct = s;
        Row("panel", names[i], s, direct, kPanelBlocks, "blocks");
    }
    const unsigned pieces = static_cast<unsigned>(kMcuImageBytes / 128);
    double directMcu = -1;
    for (int i : {0, 2}) {
        const double s = Best({"--ports", ports[i], "mcu", "generator", "--fast"}, dir.string());
        if (i == 0) directMcu = s;
        Row("mcu --fast", names[i], s, directMcu, pieces, "pieces");
    }
    std::printf("  (the MCU update over socket:// is refused: a raw TCP port cannot carry 8E1)\n");
    return 0;
}
