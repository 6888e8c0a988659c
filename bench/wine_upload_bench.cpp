// The full user-pattern upload (24,300 blocks) by quillet-cli on Linux and
// by quillet-cli.exe under wine, one after the other against the same
// simulator on the same pseudo-terminal: the blocks per second each reaches
// (the command line's own figure over the data phase) and the wall time.
//
//   wine_upload_bench [WINDOWS_BUILD]     (default: build-win beside the sources)
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "BenchSupport.h"
#include "pattern/SamplePattern.h"

namespace {

using namespace quillet;
using namespace quillet::bench;

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

void Report(const char* what, const Run& r) {
    if (!r.ok) {
        std::printf("%-28s failed:\n%s\n", what, r.output.c_str());
        return;
    }
    std::printf("%-28s %8.0f blocks/s   %6.1f s wall (search, erase, 24300 blocks, close)\n", what,
                r.blocksPerSecond, r.wallMs / 1000.0);
}

} // namespace

int main(int argc, char** argv) {
    const std::string build = argc > 1 ? argv[1] : QUILLET_SOURCE_DIR "/build-win";
    const std::string exe = build + "/cli/quillet-cli.exe";
    if (!std::filesystem::exists(exe)) {
        std::fprintf(stderr, "wine_upload_bench: no %s (bash scripts/build-windows.sh)\n", exe.c_str());
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

    // Linux.
    const Run linux = Upload("cd " + dir.string() + " && QUILLET_PORTS=" + pty + " " QUILLET_CLI_PATH +
                             " pattern --slot 1 pattern.bmp");

    // wine: a prefix of the benchmark's own, COM1 linked to the same pty
    // once wine is up, the modem-line library in front.
    const std::string prefix = build + "/wineprefix-bench";
    const std::string run = QUILLET_SOURCE_DIR "/tests/wine/wine-run.sh " + prefix;
    Upload(run + " cmd /c exit");
    Upload("ln -sfn " + pty + " " + prefix + "/dosdevices/com1");
    const Run wine = Upload("cd " + dir.string() + " && LD_PRELOAD=" QUILLET_MODEMLINES_LIB " " + run + " " + exe +
                            " pattern --slot 2 pattern.bmp");
    Upload("WINEPREFIX=" + prefix + " wineserver -k");

    std::printf("full pattern upload against one simulator on %s:\n", pty.c_str());
    Report("quillet-cli (Linux)", linux);
    Report("quillet-cli.exe (wine 8)", wine);
    if (linux.blocksPerSecond > 0 && wine.blocksPerSecond > 0)
        std::printf("wine / Linux: %.2f\n", wine.blocksPerSecond / linux.blocksPerSecond);
    return linux.ok && wine.ok ? 0 : 1;
}
