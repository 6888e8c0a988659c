// The full user-pattern upload (24,300 blocks) against one simulator on one
// pseudo-terminal, one run after the other in one benchmark run, the same
// image each time:
//   quillet-cli on Linux                     (for reference)
//   quillet-cli.exe under wine, redirected   (stderr a pipe: progress lines)
//   quillet-cli.exe under wine on a terminal (a pseudo-terminal: the bar)
//   quillet.exe, the Win32 dialog            (driven by dialog_driver.exe on
//                                             a virtual display, xvfb-run)
// It prints the blocks per second of each side by side (the command line's
// own figure over the data phase; the dialog's from its first block to
// 100 %), each against the redirected command line, and the wall times.
//
//   wine_upload_bench [WINDOWS_BUILD]     (default: build-win beside the sources)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>

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

struct Run {
    bool ok = false;
    double blocksPerSecond = 0;
    double wallMs = 0;
    std::string output;
};

Run Upload(const std::string& command) {
    Run r;
    const auto t0 = Clock::now();
    if (std::FILE* p = popen((command + " 2>&1").c_str(), "r")) {
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

void Report(const char* what, const Run& r, double reference) {
    if (!r.ok || r.blocksPerSecond <= 0) {
        std::printf("%-34s failed:\n%s\n", what, r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0).c_str());
        return;
    }
    std::printf("%-34s %6.0f blocks/s  %5.2fx  %6.1f s wall\n", what, r.blocksPerSecond,
                reference > 0 ? reference / r.blocksPerSecond : 0.0, r.wallMs / 1000.0);
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
    const Run redirected = Upload(env + run + " " + exe + " pattern --slot 2 pattern.bmp");
    // On a terminal: `script` gives the program a pseudo-terminal (wine's
    // console on it) and passes its output on.
    const Run terminal = Upload(env + "script -qefc " +
                                Quoted(run + " " + exe + " pattern --slot 3 pattern.bmp") + " /dev/null");
    // The dialog on a display of its own: wine starts again on it.
    Upload(kill);
    const Run dialog = Upload(env + "xvfb-run -a -s '-screen 0 1280x1024x24' " + run + " " + driver +
                              " pattern.bmp 4 --bench");
    Upload(kill);

    std::printf("full pattern upload (24,300 blocks) against one simulator on %s;\n"
                "x: time against the redirected quillet-cli.exe\n",
                pty.c_str());
    Report("quillet-cli (Linux)", linux, redirected.blocksPerSecond);
    Report("quillet-cli.exe, redirected", redirected, redirected.blocksPerSecond);
    Report("quillet-cli.exe, bar on a terminal", terminal, redirected.blocksPerSecond);
    Report("quillet.exe (Win32 dialog)", dialog, redirected.blocksPerSecond);
    const bool ok = linux.ok && redirected.ok && terminal.ok && dialog.ok;
    return ok ? 0 : 1;
}
