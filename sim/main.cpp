// quillet-sim: stands in for the instrument on a serial line.
//
// Prints the device the program should open on the first line of standard
// output (with --count N, the N devices on N lines), serves them until
// SIGINT or SIGTERM, then prints the summary on standard error and writes
// it to <out>/summary.txt (<out>/K/summary.txt for instrument K of several).
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/Version.h"
#include "sim/lib/Simulator.h"

namespace {

constexpr unsigned long kMaxCount = 64;

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
    "  --listen URL      serve a network port instead: rfc2217://HOST:PORT (the\n"
    "                    bootloader must be reached at even parity, set by the\n"
    "                    client) or socket://HOST:PORT (raw TCP), one client at a time\n"
    "  --count N         serve N instruments, each on a pseudo-terminal of its own\n"
    "                    (default 1); instrument K stores in <out>/K\n"
    "  --instrument K    the options after it apply to instrument K (1..N) alone,\n"
    "                    e.g. --count 4 --instrument 2 --stop-after 100\n"
    "  --delay MS        delay before the search reply (default 20)\n"
    "  --silent          never answer the search\n"
    "  --erase-ms MS     erase time before the \"cnd 12\" line (default 1500)\n"
    "  --resend N[,N..]  ask once more for these block numbers (status 1)\n"
    "  --stop-after N    stop acknowledging after N accepted blocks\n"
    "  --noise N         send N noise bytes before each block acknowledgement\n"
    "  --silent-after N  answer nothing more once N bytes have been received (a hung instrument)\n"
    "  --unplug-after N  go away once N bytes have been received (a pulled cable)\n"
    "  --nack N[,N..]    refuse these Write Memory commands of the bootloader (counted from 0)\n"
    "                    with NACK\n"
    "  --out DIR         where received images, firmware and summary.txt go (default .)\n"
    "  --boot            start in the main MCU's system bootloader (for stm32flash and the like)\n"
    "  --baud N          pace the line at N baud as a real one would (10 bits a byte,\n"
    "                    11 at the bootloader's even parity); default: as fast as it can\n"
    "  -v, --verbose     hex dump of the traffic with time stamps on standard error\n"
    "  -h, --help        this text\n"
    "  --version         print the version and exit\n"
    "\n"
    "The first line of standard output is the device to open (with --count N, the\n"
    "first N lines, instrument 1 first). Stop with Ctrl+C.\n");
}

bool ParseUnsigned(const char* s, unsigned long& v) {
    if (!s || !*s) return false;
    char* end = nullptr;
    v = std::strtoul(s, &end, 10);
    return *end == '\0' && s[0] != '-';
}

int Usage(const std::string& why) {
    std::fprintf(stderr, "quillet-sim: %s\n%s", why.c_str(), UsageText().c_str());
    return 2;
}

// Takes the instrument option at args[i] (and its value) into `opt`; moves
// `i` past its value. Returns the usage error; empty when it was taken.
std::string ApplyOption(const std::vector<std::string>& args, std::size_t& i, quillet::sim::Options& opt) {
    const std::string& a = args[i];
    const char* val = i + 1 < args.size() ? args[i + 1].c_str() : nullptr;
    unsigned long n = 0;
    if (a == "-v" || a == "--verbose") {
        opt.verbose = true;
    } else if (a == "--silent") {
        opt.answerSearch = false;
    } else if (a == "--boot") {
        opt.startInBootloader = true;
    } else if (a == "--kind") {
        const quillet::DeviceKind* kind = val ? quillet::FindDeviceKind(val) : nullptr;
        if (!kind) return "--kind needs one of " + quillet::DeviceKindNames();
        opt.kind = kind->group;
        ++i;
    } else if (a == "--out") {
        if (!val) return "--out needs a directory";
        opt.outputDir = val;
        ++i;
    } else if (a == "--baud") {
        if (!ParseUnsigned(val, n) || n == 0 || n > 100000000) return "--baud needs a rate in baud, e.g. 115200";
        opt.baud = unsigned(n);
        ++i;
    } else if (a == "--delay" || a == "--erase-ms" || a == "--stop-after" || a == "--noise" ||
               a == "--silent-after" || a == "--unplug-after") {
        if (!ParseUnsigned(val, n) || n > 0x7FFFFFFFul) return a + " needs a number";
        if (a == "--delay") opt.searchReplyDelayMs = unsigned(n);
        if (a == "--erase-ms") opt.eraseTimeMs = unsigned(n);
        if (a == "--stop-after") opt.stopAfterBlocks = long(n);
        if (a == "--noise") opt.noiseBytes = unsigned(n);
        if (a == "--silent-after") opt.silentAfterBytes = long(n);
        if (a == "--unplug-after") opt.unplugAfterBytes = long(n);
        ++i;
    } else if (a == "--resend" || a == "--nack") {
        if (!val) return a + " needs numbers";
        std::set<std::uint32_t>& into = a == "--resend" ? opt.resendBlocks : opt.nackWrites;
        std::string list = val;
        std::size_t pos = 0;
        while (pos <= list.size()) {
            const std::size_t comma = std::min(list.find(',', pos), list.size());
            const std::string item = list.substr(pos, comma - pos);
            if (!ParseUnsigned(item.c_str(), n)) return a + " needs numbers separated by commas";
            into.insert(std::uint32_t(n));
            pos = comma + 1;
        }
        ++i;
    } else {
        return "unknown option " + a;
    }
    return {};
}

} // namespace

int main(int argc, char** argv) {
    using namespace quillet::sim;
    const std::vector<std::string> args(argv + 1, argv + argc);
    // Options before the first --instrument apply to all; those after
    // --instrument K to instrument K.
    std::vector<std::string> common;
    std::map<unsigned long, std::vector<std::string>> own;
    std::vector<std::string>* into = &common;
    std::string device;
    std::string listen;
    unsigned long count = 1;
    bool countGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const char* val = i + 1 < args.size() ? args[i + 1].c_str() : nullptr;
        if (a == "--help" || a == "-h") {
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("quillet-sim %s\n", quillet::VersionText());
            return 0;
        } else if (a == "--device") {
            if (!val) return Usage("--device needs a path");
            device = val;
            ++i;
        } else if (a == "--listen") {
            if (!val) return Usage("--listen needs a URL, rfc2217://HOST:PORT or socket://HOST:PORT");
            const quillet::NetAddressParse parsed = quillet::ParseNetAddress(val);
            if (!parsed.address) return Usage("--listen: " + parsed.error);
            listen = val;
            ++i;
        } else if (a == "--count") {
            if (!ParseUnsigned(val, count) || count == 0 || count > kMaxCount)
                return Usage("--count needs a number of instruments from 1 to " + std::to_string(kMaxCount));
            countGiven = true;
            ++i;
        } else if (a == "--instrument") {
            unsigned long k = 0;
            if (!ParseUnsigned(val, k) || k == 0) return Usage("--instrument needs an instrument number from 1");
            into = &own[k];
            ++i;
        } else {
            into->push_back(a);
        }
    }
    if (!own.empty() && own.rbegin()->first > count)
        return Usage("--instrument " + std::to_string(own.rbegin()->first) + " is beyond --count " +
                     std::to_string(count));
    if (countGiven && count > 1 && !device.empty()) return Usage("--device serves one instrument; --count does not go with it");
    if (!listen.empty() && (!device.empty() || count > 1))
        return Usage("--listen serves one instrument; --device and --count do not go with it");

    // Each instrument's options: the common ones, then its own.
    std::vector<Options> options(count);
    for (unsigned long k = 1; k <= count; ++k) {
        Options& opt = options[k - 1];
        opt.trafficKept = kLongRunTrafficKept;  // a bounded tail: it runs for days
        std::vector<std::string> words = common;
        const std::size_t ownFrom = words.size();
        const auto it = own.find(k);
        if (it != own.end()) words.insert(words.end(), it->second.begin(), it->second.end());
        bool ownOut = false;
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (i >= ownFrom && words[i] == "--out") ownOut = true;
            const std::string err = ApplyOption(words, i, opt);
            if (!err.empty()) return Usage(err);
        }
        // Several instruments store into a folder each, unless told otherwise.
        if (count > 1 && !ownOut) opt.outputDir = (std::filesystem::path(opt.outputDir) / std::to_string(k)).string();
        std::error_code ec;
        std::filesystem::create_directories(opt.outputDir, ec);
    }

    // SIGINT and SIGTERM are taken by sigwait below; the serving threads
    // inherit the blocked mask.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<Simulator>> sims;
    std::vector<std::string> paths;
    for (const Options& opt : options) {
        sims.push_back(std::make_unique<Simulator>(opt));
        std::string path;
        if (!listen.empty()) {
            const std::string problem = sims.back()->Listen(*quillet::ParseNetAddress(listen).address);
            if (!problem.empty()) {
                std::fprintf(stderr, "quillet-sim: %s\n", problem.c_str());
                return 1;
            }
            path = listen;
        } else if (device.empty()) {
            path = sims.back()->OpenPty();
            if (path.empty()) {
                std::fprintf(stderr, "quillet-sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
                return 1;
            }
        } else {
            if (!sims.back()->OpenDevice(device)) {
                std::fprintf(stderr, "quillet-sim: cannot open %s: %s\n", device.c_str(), std::strerror(errno));
                return 1;
            }
            path = device;
        }
        paths.push_back(path);
    }
    for (const auto& path : paths) std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    if (device.empty() && listen.empty()) {
        // A pty carries no parity bit, and the program refuses the main-MCU
        // update on one unless told that the simulator keeps the parity.
        std::string list;
        for (const auto& path : paths) list += (list.empty() ? "" : ",") + path;
        std::fprintf(stderr,
                     "quillet-sim: pseudo-terminals carry no parity; the simulator keeps the bootloader's 8E1 "
                     "itself. For the MCU update run the program with QUILLET_SIM_PTYS=%s\n",
                     list.c_str());
    }
    for (std::size_t k = 0; k < sims.size(); ++k) {
        if (options[k].verbose)
            std::fprintf(stderr, "quillet-sim: %s on %s%s\n", quillet::DeviceKindOfGroup(options[k].kind).name,
                         paths[k].c_str(), options[k].startInBootloader ? " (system bootloader)" : "");
        sims[k]->Start();
    }

    int sig = 0;
    sigwait(&sigs, &sig);
    for (auto& sim : sims) sim->Stop();

    for (std::size_t k = 0; k < sims.size(); ++k) {
        const Summary s = sims[k]->GetSummary();
        const std::string who = sims.size() > 1 ? "instrument " + std::to_string(k + 1) + " (" + paths[k] + "): " : "";
        std::fprintf(stderr, "quillet-sim: %s%llu bytes received, %llu search frames, %llu blocks accepted, %llu resend requests, "
                             "%llu bootloader commands, %llu chunk frames, %zu violations\n",
                     who.c_str(), (unsigned long long)s.bytesReceived, (unsigned long long)s.searchFrames,
                     (unsigned long long)s.blocksAccepted, (unsigned long long)s.blocksResent,
                     (unsigned long long)s.bootloaderCommands, (unsigned long long)s.chunkFrames,
                     s.violations.size() + std::size_t(s.violationsNotListed));
        for (const auto& v : s.violations) std::fprintf(stderr, "  violation: %s\n", v.c_str());
        if (s.violationsNotListed) std::fprintf(stderr, "  ... and %llu more\n", (unsigned long long)s.violationsNotListed);
        for (const auto& f : s.filesWritten) std::fprintf(stderr, "  stored: %s\n", f.c_str());
    }
    return 0;
}
