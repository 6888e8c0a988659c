// The full user-pattern upload (24,300 blocks) against one simulator on one
// pseudo-terminal, one run after the other in one benchmark run, the same
// image each time:
//   quillet-cli on Linux                     (for reference, once)
//   quillet-cli.exe under wine, redirected   (stderr a pipe: progress lines)
//   quillet-cli.exe under wine on a terminal (a pseudo-terminal: the bar)
//   quillet.exe, the Win32 dialog            (driven by dialog_driver.exe on
//                                             a virtual display, xvfb-run)
// The rate under wine swings by a factor of two from minute to minute on a
// shared machine, so the three wine runs go in rounds, each round starting
// with another of them, and each run is set against the redirected run of
// its own round. It prints the blocks per second of each run (the command
// line's own figure over the data phase; the dialog's from its first block
// to 100 %), each against the redirected command line, and the wall times;
// then for the bar and the dialog the median of their rounds' factors.
//
//   wine_upload_bench [WINDOWS_BUILD [ROUNDS]]
//                     (default: build-win beside the sources, 3 rounds)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "BenchSupport.h"
#include "pattern/SamplePattern.h"

namespace {

using namespace quillet;
using namespace quillet::bench;

// COM ports the benchmark's prefix defines (the simulator is COM1, the
// others lead nowhere), so wine's own port detection adds none below them.
constexpr unsigned kDefinedComPorts = 9;
// The longest a run under wine may take (a slow one is measured, not cut).
constexpr int kRunLimitS = 1200;
// Rounds of the three wine runs unless the command line says otherwise.
constexpr int kDefaultRounds = 3;
// The factor against the redirected command line the bar and the dialog
// should stay within.
constexpr double kTargetFactor = 1.3;
// The first slot the wine runs store into; each of the three its own.
constexpr int kFirstWineSlot = 2;

struct Run {
    bool ok = false;
    double blocksPerSecond = 0;
    double wallMs = 0;
    std::string output;
};

// Runs `command` and keeps its output. The output goes to a file first:
// wine's services, started by the first program after the server ended,
// inherit the program's output and keep a pipe open until the server ends,
// a minute later, which the wall time would count.
Run Upload(const std::string& command) {
    Run r;
    const auto t0 = Clock::now();
    const std::string shell =
        "out=$(mktemp); ( " + command + " ) >\"$out\" 2>&1; status=$?; cat \"$out\"; rm -f \"$out\"; exit $status";
    if (std::FILE* p = popen(shell.c_str(), "r")) {
        char line[4096];
        while (std::fgets(line, sizeof line, p)) r.output += line;
        r.ok = pclose(p) == 0;
    }
    r.wallMs = MsSince(t0);
    std::smatch m;
    if (std::regex_search(r.output, m, std::regex(R"(([0-9.]+) blocks/s\))"))) r.blocksPerSecond = std::stod(m[1]);
    return r;
}

std::string Quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The time `r` took against `reference` (the redirected run's rate); 0
// when either did not finish.
double Factor(const Run& r, double reference) {
    return r.ok && r.blocksPerSecond > 0 && reference > 0 ? reference / r.blocksPerSecond : 0.0;
}

void Report(const char* what, const Run& r, double reference) {
    if (!r.ok || r.blocksPerSecond <= 0) {
        std::printf("  %-34s failed:\n%s\n", what, r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0).c_str());
        return;
    }
    std::printf("  %-34s %6.0f blocks/s  %5.2fx  %6.1f s wall\n", what, r.blocksPerSecond, Factor(r, reference),
                r.wallMs / 1000.0);
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// One of the three ways quillet runs under wine: its name and the command
// that uploads into `slot`.
struct WineMode {
    const char* name;
    std::function<std::string(int slot)> command;
};

// The median factor of a mode over the rounds that finished, with the
// rounds' factors.
void ReportMedian(const char* what, const std::vector<double>& factors) {
    std::vector<double> finished;
    std::string each;
    for (double f : factors) {
        char text[16];
        std::snprintf(text, sizeof text, f > 0 ? "%.2fx" : "-", f);
        each += (each.empty() ? "" : ", ") + std::string(text);
        if (f > 0) finished.push_back(f);
    }
    const double median = Median(finished);
    std::printf("  %-34s median %5.2fx (rounds: %s): %s %.1fx\n", what, median, each.c_str(),
                median > 0 && median <= kTargetFactor ? "within" : "NOT within", kTargetFactor);
}

// A registry file that defines COM1 as `sim` and COM2.. as `absent` for
// wine's mount manager, which sets the dosdevices links from it whenever
// wine starts (instead of linking /dev/ttyS0 as COM1).
void WritePortsReg(const std::string& path, const std::string& sim, const std::string& absent) {
    std::ofstream reg(path);
    reg << "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n";
    for (unsigned com = 1; com <= kDefinedComPorts; ++com)
        reg << "\"COM" << com << "\"=\"" << (com == 1 ? sim : absent) << "\"\n";
}

// A unix socket no program listens on: wine cannot open it as a port ("no
// such device"), as for a COM port with nothing behind it.
bool MakeAbsentPort(const std::string& path) {
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    const bool bound = ::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(s);
    return bound;
}

} // namespace

int main(int argc, char** argv) {
    const std::string build = argc > 1 ? argv[1] : QUILLET_SOURCE_DIR "/build-win";
    const std::string exe = build + "/cli/quillet-cli.exe";
    const std::string driver = build + "/tests/dialog_driver.exe";
    for (const std::string& needed : {exe, driver, build + "/win/quillet.exe"})
        if (!std::filesystem::exists(needed)) {
            std::fprintf(stderr, "wine_upload_bench: no %s (bash scripts/build-windows.sh)\n", needed.c_str());
            return 1;
        }
    const auto dir = FreshDir("quillet-wine-bench");
    const std::string image = (dir / "pattern.bmp").string();
    WriteSamplePatternBmp(image);

    sim::Options options;
    options.outputDir = (dir / "sim").string();
    options.eraseTimeMs = 100;
    SimBench sims;
    sims.Add(options);
    const std::string pty = sims.paths.front();

    const Run linux = Upload("cd " + dir.string() + " && QUILLET_PORTS=" + pty + " " QUILLET_CLI_PATH +
                             " pattern --slot 1 pattern.bmp");

    // wine: a prefix of the benchmark's own, its COM ports defined in the
    // registry (and linked at once), the modem-line library in front.
    const std::string prefix = build + "/wineprefix-bench";
    const std::string run = QUILLET_SOURCE_DIR "/tests/wine/wine-run.sh " + prefix;
    const std::string kill = "WINEPREFIX=" + prefix + " wineserver -k";
    Upload(kill);
    const std::string absent = (dir / "absent.sock").string();
    if (!MakeAbsentPort(absent)) {
        std::fprintf(stderr, "wine_upload_bench: cannot make %s\n", absent.c_str());
        return 1;
    }
    WritePortsReg((dir / "ports.reg").string(), pty, absent);
    Upload("cd " + dir.string() + " && " + run + " regedit /S ports.reg");
    Upload("ln -sfn " + pty + " " + prefix + "/dosdevices/com1");
    const std::string env =
        "cd " + dir.string() + " && QUILLET_WINE_TIMEOUT=" + std::to_string(kRunLimitS) + " LD_PRELOAD=" QUILLET_MODEMLINES_LIB " ";
    const std::string display = "xvfb-run -a -s '-screen 0 1280x1024x24' ";
    // On a terminal: `script` gives the program a pseudo-terminal (wine's
    // console on it) and passes its output on. The dialog on a display of
    // its own: wine starts again on it, so every run starts wine afresh.
    const std::vector<WineMode> modes{
        {"quillet-cli.exe, redirected",
         [&](int slot) { return env + run + " " + exe + " pattern --slot " + std::to_string(slot) + " pattern.bmp"; }},
        {"quillet-cli.exe, bar on a terminal",
         [&](int slot) {
             return env + "script -qefc " +
                    Quoted(run + " " + exe + " pattern --slot " + std::to_string(slot) + " pattern.bmp") +
                    " /dev/null";
         }},
        {"quillet.exe (Win32 dialog)",
         [&](int slot) { return env + display + run + " " + driver + " pattern.bmp " + std::to_string(slot) + " --bench"; }},
    };
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : kDefaultRounds;
    std::printf("full pattern upload (24,300 blocks) against one simulator on %s, %d rounds;\n"
                "x: time against the redirected quillet-cli.exe of the same round; runs: 1 redirected,\n"
                "2 bar on a terminal, 3 dialog\n",
                pty.c_str(), rounds);
    std::fflush(stdout);
    std::vector<std::vector<double>> factors(modes.size());
    bool ok = linux.ok;
    for (int round = 0; round < rounds; ++round) {
        std::vector<Run> runs(modes.size());
        std::string order;
        for (std::size_t i = 0; i < modes.size(); ++i) {
            const std::size_t m = (static_cast<std::size_t>(round) + i) % modes.size();
            Upload(kill);
            runs[m] = Upload(modes[m].command(kFirstWineSlot + static_cast<int>(m)));
            ok = ok && runs[m].ok;
            order += (order.empty() ? "" : ", ") + std::to_string(m + 1);
        }
        Upload(kill);
        std::printf("round %d (run order %s):\n", round + 1, order.c_str());
        const double reference = runs.front().blocksPerSecond;
        if (round == 0) Report("quillet-cli (Linux)", linux, reference);
        for (std::size_t m = 0; m < modes.size(); ++m) {
            Report(modes[m].name, runs[m], reference);
            factors[m].push_back(Factor(runs[m], reference));
        }
        std::fflush(stdout);
    }
    std::printf("medians over the rounds:\n");
    for (std::size_t m = 1; m < modes.size(); ++m) ReportMedian(modes[m].name, factors[m]);
    return ok ? 0 : 1;
}
