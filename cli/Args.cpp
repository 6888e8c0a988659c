#include "cli/Args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

#include "discovery/DeviceKinds.h"

namespace quillet::cli {

bool ParseInteger(const std::string& text, long long& value) {
    if (text.empty()) return false;
    const char* s = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s, &end, 10);
    if (end == s || *end != '\0' || errno == ERANGE) return false;
    value = v;
    return true;
}

namespace {

bool ParseSeconds(const std::string& text, unsigned& ms) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double s = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(s)) return false;
    if (s <= 0 || s > 86400) return false;
    ms = static_cast<unsigned>(std::lround(s * 1000.0));
    if (ms == 0) ms = 1;
    return true;
}

} // namespace

std::string ParseArgs(const std::vector<std::string>& argv, Args& out) {
    out = Args{};
    bool onlyOperands = false;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        std::string word = argv[i];
        if (onlyOperands || word.empty() || word[0] != '-' || word == "-") {
            if (out.command.empty())
                out.command = word;
            else
                out.operands.push_back(word);
            continue;
        }
        if (word == "--") {
            onlyOperands = true;
            continue;
        }
        // "--name=value" and "--name value" both work for options with a value.
        std::optional<std::string> inlineValue;
        if (word.rfind("--", 0) == 0) {
            const auto eq = word.find('=');
            if (eq != std::string::npos) {
                inlineValue = word.substr(eq + 1);
                word = word.substr(0, eq);
            }
        }
        auto value = [&](std::string& v) -> std::string {
            if (inlineValue) {
                v = *inlineValue;
                return {};
            }
            if (i + 1 >= argv.size()) return "option " + word + " needs a value";
            v = argv[++i];
            return {};
        };
        auto flag = [&](bool& f) -> std::string {
            if (inlineValue) return "option " + word + " takes no value";
            f = true;
            return {};
        };
        std::string v;
        std::string err;
        if (word == "-v" || word == "--verbose") {
            err = flag(out.verbose);
        } else if (word == "-h" || word == "--help") {
            err = flag(out.help);
        } else if (word == "--direct") {
            err = flag(out.direct);
        } else if (word == "--verify") {
            err = flag(out.verify);
        } else if (word == "--ports") {
            if ((err = value(v)).empty()) out.ports = v;
        } else if (word == "--timeout") {
            if ((err = value(v)).empty() && !ParseSeconds(v, out.timeoutMs))
                err = "--timeout needs a number of seconds above 0, not \"" + v + "\"";
        } else if (word == "--kind") {
            if ((err = value(v)).empty()) {
                if (!FindDeviceKind(v))
                    err = "unknown instrument kind \"" + v + "\" (" + DeviceKindNames() + ")";
                else
                    out.kind = v;
            }
        } else if (word == "--slot") {
            long long n = 0;
            if ((err = value(v)).empty()) {
                if (!ParseInteger(v, n) || n < 1 || n > 4)
                    err = "--slot needs a user pattern number from 1 to 4, not \"" + v + "\"";
                else
                    out.slot = static_cast<int>(n);
            }
        } else {
            err = "unknown option " + word;
        }
        if (!err.empty()) return err;
    }
    return {};
}

std::string CheckCommand(const Args& a) {
    const std::string& c = a.command;
    if (c.empty()) return "no command given";
    auto operands = [&](std::size_t n, const char* form) -> std::string {
        if (a.operands.size() != n) return std::string("usage: quillet-cli ") + form;
        return {};
    };
    std::set<std::string> allowed;  // command options the command accepts
    std::string err;
    if (c == "ports") {
        err = operands(0, "ports");
    } else if (c == "search") {
        allowed = {"kind"};
        err = operands(0, "search [--kind KIND]");
    } else if (c == "pattern" || c == "panel") {
        allowed = {"slot"};
        err = operands(1, (c + " --slot N IMAGE.bmp").c_str());
        if (err.empty() && !a.slot) err = c + " needs --slot N (1 to 4)";
    } else if (c == "fpga") {
        allowed = {"kind"};
        if (a.operands.empty()) {
            err = "usage: quillet-cli fpga generator|analyzer, or fpga aux FILE";
        } else if (a.operands[0] == "generator" || a.operands[0] == "analyzer") {
            err = operands(1, "fpga generator|analyzer");
            if (err.empty() && a.kind) err = "--kind only goes with fpga aux";
        } else if (a.operands[0] == "aux") {
            err = operands(2, "fpga aux FILE [--kind KIND]");
        } else {
            err = "unknown FPGA \"" + a.operands[0] + "\" (generator, analyzer or aux)";
        }
    } else if (c == "mcu") {
        allowed = {"direct", "verify"};
        err = operands(1, "mcu generator|analyzer [--direct] [--verify]");
        if (err.empty() && a.operands[0] != "generator" && a.operands[0] != "analyzer")
            err = "unknown MCU \"" + a.operands[0] + "\" (generator or analyzer)";
        if (err.empty() && a.direct && a.operands[0] != "generator")
            err = "--direct only goes with mcu generator";
    } else if (c == "sub-mcu") {
        allowed = {"kind"};
        err = operands(1, "sub-mcu INDEX [--kind KIND]   (INDEX 0..10)");
        long long n = 0;
        if (err.empty() && (!ParseInteger(a.operands[0], n) || n < 0 || n > 10))
            err = "sub-mcu needs an MCU list index from 0 to 10, not \"" + a.operands[0] + "\"";
    } else if (c == "input-board") {
        allowed = {"kind"};
        err = operands(2, "input-board N FILE [--kind KIND]   (N 1..4)");
        long long n = 0;
        if (err.empty() && (!ParseInteger(a.operands[0], n) || n < 1 || n > 4))
            err = "input-board needs a board number from 1 to 4, not \"" + a.operands[0] + "\"";
    } else if (c == "analyzer-data") {
        err = operands(1, "analyzer-data FILE");
    } else if (c == "demo") {
        err = operands(0, "demo");
    } else {
        return "unknown command \"" + c + "\"";
    }
    if (!err.empty()) return err;
    if (a.kind && !allowed.count("kind")) return "--kind does not go with " + c;
    if (a.slot && !allowed.count("slot")) return "--slot does not go with " + c;
    if (a.direct && !allowed.count("direct")) return "--direct does not go with " + c;
    if (a.verify && !allowed.count("verify")) return "--verify does not go with " + c;
    return {};
}

std::string UsageText() {
    return R"(Usage: quillet-cli [OPTIONS] COMMAND [ARGUMENTS]

Drives the instrument's flows from a command line, as an operator would press
the buttons of the dialog. Every flow starts with the search of its instrument.

Commands:
  ports                          list the present serial ports: "COMn  DEVICE"
  search [--kind KIND]           search COM1..COM99 for the instrument (default
                                 generator) and print where it answered
  pattern --slot N IMAGE.bmp     store a 1920x1080 24-bit BMP in user-pattern
                                 slot N (1..4) of the signal generator
  panel --slot N IMAGE.bmp       store the 240x160 panel image of IMAGE.bmp in
                                 slot N (1..4) of the front-panel display
  fpga generator|analyzer        write ./data/GENERATOR_FPGA.bin or
                                 ./data/ANALYZER_FPGA.bin to the FPGA flash
  fpga aux FILE [--kind KIND]    write FILE to the auxiliary FPGA flash
  mcu generator|analyzer [--direct] [--verify]
                                 update the main MCU from ./data/GENERATOR_MCU.bin
                                 or ./data/ANALYZER_MCU.bin through its bootloader;
                                 --direct: the MCU already waits in its bootloader
                                 on the first port of the map (no search; user
                                 pattern number 101); --verify: read the
                                 flash back after writing and compare
  sub-mcu INDEX [--kind KIND]    restart sub-MCU INDEX (0 Keyboard, 1..9 input1..9
                                 MCU, 10 LAN MCU) in boot mode and hand the port
                                 to ./FlyMcu/FlyMcu.exe
  input-board N FILE [--kind KIND]
                                 update input board N (1..4) with FILE
  analyzer-data FILE             write FILE to the signal analyzer's data flash
  demo                           start a simulated signal generator in this
                                 process and store a sample pattern in slot 1

Kinds: )" + DeviceKindNames() + R"(.

Options:
  --ports LIST     the devices behind COM1, COM2, ... (comma-separated; an empty
                   item leaves that COM number absent), as QUILLET_PORTS
  --timeout S      give up when the instrument has not answered for S seconds
                   (default 10)
  -v, --verbose    hex dump of the serial traffic on stderr
  -h, --help       this text

Exit codes: 0 done, 1 the flow failed (its message on stderr), 2 usage error,
3 time-out (the instrument stopped answering).
)";
}

} // namespace quillet::cli
