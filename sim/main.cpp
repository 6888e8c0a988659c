// quillet-sim: stands in for the instrument on a serial line.
//
// Prints the device the program should open on the first line of standard
// output, serves it until SIGINT or SIGTERM, then prints the summary on
// standard error and writes it to <out>/summary.txt.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/Version.h"
#include "sim/lib/Simulator.h"

namespace {

// The kinds after the first (the default) for the usage text.
std::string OtherKindNames() {
    std::string names;
    for (std::size_t i = 1; i < quillet::kDeviceKinds.size(); ++i)
        names += std::string(", ") + quillet::kDeviceKinds[i].name;
    return names;
}

std::string UsageText() {
    return std::string(
    "Usage: quillet-sim [OPTIONS]\n"
    "\n"
    "Stands in for the instrument at the far end of a serial line, for training and\n"
    "for work without hardware.\n"
    "\n"
    "Options:\n"
    "  --kind KIND       ") + quillet::kDeviceKinds[0].name + " (default)" + OtherKindNames() + "\n" +
    std::string(
    "  --device PATH     serve this serial device instead of a new pseudo-terminal\n"
    "  --delay MS        delay before the search reply (default 20)\n"
    "  --silent          never answer the search\n"
    "  --erase-ms MS     erase time before the \"cnd 12\" line (default 1500)\n"
    "  --resend N[,N..]  ask once more for these block numbers (status 1)\n"
    "  --stop-after N    stop acknowledging after N accepted blocks\n"
    "  --noise N         send N noise bytes before each block acknowledgement\n"
    "  --out DIR         where received images, firmware and summary.txt go (default .)\n"
    "  --boot            start in the main MCU's system bootloader (for stm32flash and the like)\n"
    "  --baud N          pace the line at N baud as a real one would (10 bits a byte,\n"
    "                    11 at the bootloader's even parity); default: as fast as it can\n"
    "  -v, --verbose     hex dump of the traffic with time stamps on standard error\n"
    "  -h, --help        this text\n"
    "  --version         print the version and exit\n"
    "\n"
    "The first line of standard output is the device to open. Stop with Ctrl+C.\n");
}

bool ParseUnsigned(const char* s, unsigned long& v) {
    if (!s || !*s) return false;
    char* end = nullptr;
    v = std::strtoul(s, &end, 10);
    return *end == '\0' && s[0] != '-';
}

int Usage(const char* why) {
    std::fprintf(stderr, "quillet-sim: %s\n%s", why, UsageText().c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    using namespace quillet::sim;
    Options opt;
    std::string device;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long n = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("quillet-sim %s\n", quillet::VersionText());
            return 0;
        } else if (a == "-v" || a == "--verbose") {
            opt.verbose = true;
        } else if (a == "--silent") {
            opt.answerSearch = false;
        } else if (a == "--boot") {
            opt.startInBootloader = true;
        } else if (a == "--kind") {
            const quillet::DeviceKind* kind = val ? quillet::FindDeviceKind(val) : nullptr;
            if (!kind) return Usage(("--kind needs one of " + quillet::DeviceKindNames()).c_str());
            opt.kind = kind->group;
            ++i;
        } else if (a == "--device") {
            if (!val) return Usage("--device needs a path");
            device = val;
            ++i;
        } else if (a == "--out") {
            if (!val) return Usage("--out needs a directory");
            opt.outputDir = val;
            ++i;
        } else if (a == "--baud") {
            if (!ParseUnsigned(val, n) || n == 0 || n > 100000000)
                return Usage("--baud needs a rate in baud, e.g. 115200");
            opt.baud = unsigned(n);
            ++i;
        } else if (a == "--delay" || a == "--erase-ms" || a == "--stop-after" || a == "--noise") {
            if (!ParseUnsigned(val, n)) return Usage((a + " needs a number").c_str());
            if (a == "--delay") opt.searchReplyDelayMs = unsigned(n);
            if (a == "--erase-ms") opt.eraseTimeMs = unsigned(n);
            if (a == "--stop-after") opt.stopAfterBlocks = long(n);
            if (a == "--noise") opt.noiseBytes = unsigned(n);
            ++i;
        } else if (a == "--resend") {
            if (!val) return Usage("--resend needs block numbers");
            std::string list = val;
            std::size_t pos = 0;
            while (pos <= list.size()) {
                const std::size_t comma = std::min(list.find(',', pos), list.size());
                const std::string item = list.substr(pos, comma - pos);
                if (!ParseUnsigned(item.c_str(), n)) return Usage("--resend needs block numbers separated by commas");
                opt.resendBlocks.insert(std::uint32_t(n));
                pos = comma + 1;
            }
            ++i;
        } else {
            return Usage(("unknown option " + a).c_str());
        }
    }

    // SIGINT and SIGTERM are taken by sigwait below; the serving thread
    // inherits the blocked mask.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Simulator sim(opt);
    std::string path;
    if (device.empty()) {
        path = sim.OpenPty();
        if (path.empty()) {
            std::fprintf(stderr, "quillet-sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
            return 1;
        }
    } else {
        if (!sim.OpenDevice(device)) {
            std::fprintf(stderr, "quillet-sim: cannot open %s: %s\n", device.c_str(), std::strerror(errno));
            return 1;
        }
        path = device;
    }
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    if (opt.verbose)
        std::fprintf(stderr, "quillet-sim: %s on %s%s\n", quillet::DeviceKindOfGroup(opt.kind).name, path.c_str(),
                     opt.startInBootloader ? " (system bootloader)" : "");
    sim.Start();

    int sig = 0;
    sigwait(&sigs, &sig);
    sim.Stop();

    const Summary s = sim.GetSummary();
    std::fprintf(stderr, "quillet-sim: %llu bytes received, %llu search frames, %llu blocks accepted, %llu resend requests, "
                         "%llu bootloader commands, %llu chunk frames, %zu violations\n",
                 (unsigned long long)s.bytesReceived, (unsigned long long)s.searchFrames,
                 (unsigned long long)s.blocksAccepted, (unsigned long long)s.blocksResent,
                 (unsigned long long)s.bootloaderCommands, (unsigned long long)s.chunkFrames,
                 s.violations.size() + std::size_t(s.violationsNotListed));
    for (const auto& v : s.violations) std::fprintf(stderr, "  violation: %s\n", v.c_str());
    if (s.violationsNotListed) std::fprintf(stderr, "  ... and %llu more\n", (unsigned long long)s.violationsNotListed);
    for (const auto& f : s.filesWritten) std::fprintf(stderr, "  stored: %s\n", f.c_str());
    return 0;
}
