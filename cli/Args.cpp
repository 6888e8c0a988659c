#include "cli/Args.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>
#include <span>
#include <sstream>

#include "discovery/DeviceKinds.h"
#include "pattern/BmpImport.h"
#include "serial/PortMap.h"

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

// ---- applying an option ---------------------------------------------------------

// What the parser carries from word to word besides the result.
struct ParseState {
    Args& out;
    std::optional<std::string> port;  // -p/--port: checked against --ports at the end
    bool timeoutGiven = false;        // QUILLET_TIMEOUT only when --timeout is absent
    bool dataGiven = false;           // QUILLET_DATA only when --data is absent
};

// Applies one option: `name` as it was written (-p or --port), `value` its
// value (empty for a flag). Returns what was wrong, or an empty string.
using ApplyOption = std::string (*)(ParseState& state, const std::string& name, const std::string& value);

constexpr int kMaxVerbosity = 3;
constexpr int kTraceVerbosity = 2;  // --trace: as -vv
constexpr double kMaxTimeoutSeconds = 86400;
constexpr long long kMaxSlot = 4;
constexpr long long kMaxBaud = 100000000;

bool ParseSeconds(const std::string& text, unsigned& ms) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double s = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(s)) return false;
    if (s <= 0 || s > kMaxTimeoutSeconds) return false;
    ms = static_cast<unsigned>(std::lround(s * 1000.0));
    if (ms == 0) ms = 1;
    return true;
}

// A decimal integer from `low` to `high`.
bool ParseBounded(const std::string& text, long long low, long long high, long long& n) {
    return ParseInteger(text, n) && n >= low && n <= high;
}

// The device of -p/--port: one, not a list.
std::string TakePort(const std::string& option, const std::string& device, std::optional<std::string>& port) {
    if (device.empty() || device.find(',') != std::string::npos)
        return option + " needs one device, not \"" + device + "\" (--ports takes a list)";
    port = device;
    return {};
}

template <bool Args::*Flag>
std::string SetFlag(ParseState& s, const std::string&, const std::string&) {
    s.out.*Flag = true;
    return {};
}

template <bool Args::*Flag>
bool FlagGiven(const Args& a) {
    return a.*Flag;
}

bool KindGiven(const Args& a) { return a.kind.has_value(); }
bool SlotGiven(const Args& a) { return a.slot.has_value(); }
bool ExpectGiven(const Args& a) { return a.expect != 0; }
bool BaudGiven(const Args& a) { return a.baud != 0; }

std::string ApplyVerbose(ParseState& s, const std::string&, const std::string&) {
    s.out.verbosity = std::min(kMaxVerbosity, s.out.verbosity + 1);
    return {};
}

std::string ApplyTrace(ParseState& s, const std::string&, const std::string&) {
    s.out.verbosity = std::max(s.out.verbosity, kTraceVerbosity);
    return {};
}

std::string ApplyPort(ParseState& s, const std::string& name, const std::string& v) {
    return TakePort(name, v, s.port);
}

std::string ApplyPorts(ParseState& s, const std::string&, const std::string& v) {
    s.out.ports = v;
    return {};
}

std::string ApplyData(ParseState& s, const std::string&, const std::string& v) {
    if (v.empty()) return "--data needs a folder";
    s.out.dataFolder = v;
    s.dataGiven = true;
    return {};
}

std::string ApplyTimeout(ParseState& s, const std::string&, const std::string& v) {
    s.timeoutGiven = true;
    if (!ParseSeconds(v, s.out.timeoutMs)) return "--timeout needs a number of seconds above 0, not \"" + v + "\"";
    return {};
}

std::string ApplyLog(ParseState& s, const std::string&, const std::string& v) {
    if (v.empty()) return "--log needs a file";
    s.out.logFile = v;
    return {};
}

std::string ApplyKind(ParseState& s, const std::string&, const std::string& v) {
    if (!FindDeviceKind(v)) return "unknown instrument kind \"" + v + "\" (" + DeviceKindNames() + ")";
    s.out.kind = v;
    return {};
}

std::string ApplySlot(ParseState& s, const std::string&, const std::string& v) {
    long long n = 0;
    if (!ParseBounded(v, 1, kMaxSlot, n)) return "--slot needs a user pattern number from 1 to 4, not \"" + v + "\"";
    s.out.slot = static_cast<int>(n);
    return {};
}

std::string ApplyExpect(ParseState& s, const std::string&, const std::string& v) {
    long long n = 0;
    if (!ParseBounded(v, 1, kLastCom, n))
        return "--expect needs a number of instruments from 1 to " + std::to_string(kLastCom) + ", not \"" + v +
               "\"";
    s.out.expect = static_cast<unsigned>(n);
    return {};
}

std::string ApplyBaud(ParseState& s, const std::string&, const std::string& v) {
    long long n = 0;
    if (!ParseBounded(v, 1, kMaxBaud, n)) return "--baud needs a rate in baud, e.g. 115200, not \"" + v + "\"";
    s.out.baud = static_cast<unsigned>(n);
    return {};
}

// ---- the table ------------------------------------------------------------------

// An option of the command line: how the help and the completion show it,
// and how the parser applies it.
struct OptionInfo {
    const char* key;      // name used in CommandInfo::options ("" for global options)
    const char* shortName;
    const char* longName;
    const char* value;    // placeholder of its value, or nullptr for a flag
    const char* help;     // lines separated by '\n'
    ApplyOption apply;
    // Command options: whether the parsed command line has it (for the
    // check that its command takes it), and whether it needs --all.
    bool (*given)(const Args& args) = nullptr;
    bool needsAll = false;
};

constexpr OptionInfo kGlobalOptions[] = {
#ifdef _WIN32
    {"", "-p", "--port", "PORT",
     "use the COM port PORT (COM7, COM12) and no other\n"
     "(default: %QUILLET_PORT%)", ApplyPort},
    {"", nullptr, "--ports", "LIST",
     "use only the COM ports of LIST (comma-separated: COM3,COM12),\n"
     "as QUILLET_PORTS", ApplyPorts},
#else
    {"", "-p", "--port", "DEVICE",
     "use DEVICE as COM1 and no other port; a /dev/serial/by-id\n"
     "name works too (default: $QUILLET_PORT)", ApplyPort},
    {"", nullptr, "--ports", "LIST",
     "the devices behind COM1, COM2, ... (comma-separated; an empty\n"
     "item leaves that COM number absent), as QUILLET_PORTS", ApplyPorts},
#endif
    {"", nullptr, "--data", "DIR",
     "read the firmware images GENERATOR_MCU.bin, ANALYZER_MCU.bin,\n"
     "GENERATOR_FPGA.bin and ANALYZER_FPGA.bin from DIR (default ./data,\n"
     "or $QUILLET_DATA)", ApplyData},
    {"", nullptr, "--timeout", "S",
     "give up when the instrument has not answered for S seconds\n"
     "(default 10, or $QUILLET_TIMEOUT)", ApplyTimeout},
    {"", "-v", "--verbose", nullptr,
     "trace the steps on stderr, with time stamps (port opened, search,\n"
     "erase, block stream, bootloader); -vv also the bytes, as hex and\n"
     "text, with block streams summarised; -vvv every block", ApplyVerbose},
    {"", nullptr, "--trace", nullptr, "the same as -vv", ApplyTrace},
    {"", nullptr, "--log", "FILE", "append the trace to FILE (a header line first) instead of stderr", ApplyLog},
    {"", nullptr, "--json", nullptr,
     "output for scripts: progress as JSON lines on stderr, and one JSON\n"
     "object on stdout at the end (command, result, exit code, port,\n"
     "kind, counts, duration, message)", SetFlag<&Args::json>},
    {"", "-h", "--help", nullptr, "this text; with a command, that command's help", SetFlag<&Args::help>},
    {"", nullptr, "--version", nullptr, "print the version and exit", SetFlag<&Args::version>},
};

constexpr OptionInfo kCommandOptions[] = {
    {"kind", nullptr, "--kind", "KIND", "the kind of instrument to search for (default generator)", ApplyKind, KindGiven},
    {"slot", nullptr, "--slot", "N", "user pattern number, 1 to 4", ApplySlot, SlotGiven},
    {"direct", nullptr, "--direct",
     nullptr,
     "the MCU already waits in its bootloader on the first port of\n"
     "the map: no search, user pattern number 101", SetFlag<&Args::direct>, FlagGiven<&Args::direct>},
    {"verify", nullptr, "--verify", nullptr, "read the flash back after writing and compare", SetFlag<&Args::verify>, FlagGiven<&Args::verify>},
    {"fast", nullptr, "--fast", nullptr,
     "pace the bootloader exchange by its own acknowledgements instead of\n"
     "the flow's fixed delays (the same bytes on the line; each step waits\n"
     "at most --timeout for its ACK)", SetFlag<&Args::fast>, FlagGiven<&Args::fast>},
    {"all", nullptr, "--all", nullptr,
     "search every port of the map on its own and run the command on every\n"
     "instrument found, all at the same time (with --direct: every port of\n"
     "the map); one line per instrument, a summary at the end", SetFlag<&Args::all>, FlagGiven<&Args::all>},
    {"watch", nullptr, "--watch", nullptr,
     "with --all: keep running and run the command on every instrument\n"
     "plugged in later (once until it is unplugged again); Ctrl+C ends", SetFlag<&Args::watch>, FlagGiven<&Args::watch>, true},
    {"expect", nullptr, "--expect", "N",
     "with --all: exit 1 if fewer than N instruments were served", ApplyExpect, ExpectGiven, true},
    {"baud", nullptr, "--baud", "N",
     "the simulated line runs at N baud, as a real one would (default: as fast as it can)", ApplyBaud, BaudGiven},
};

struct CommandInfo {
    const char* name;
    const char* synopsis;     // what follows "quillet-cli "
    const char* summary;      // the overview's lines, separated by '\n'
    const char* description;  // the command's own help
    std::vector<std::string> options;  // keys of the command options it takes
};

const CommandInfo kCommands[] = {
    {"ports", "ports",
     "list the serial ports of the map and what is behind them",
#ifdef _WIN32
     "Lists the COM ports Windows knows of. After \"COMn  DEVICE\" each line tells\n"
     "what Device Manager knows of the port: its name and maker, USB vendor and\n"
     "product id (VID:PID) and driver. A port of -p, --ports, QUILLET_PORT or\n"
     "QUILLET_PORTS that does not exist is shown as absent. With -v every field goes\n"
     "on a line of its own.\n",
#else
     "Lists the COM numbers of the port map with their devices. After \"COMn  DEVICE\"\n"
     "each line tells what is known of the device: product and manufacturer, USB\n"
     "vendor and product id (VID:PID), serial number, kernel driver and the\n"
     "/dev/serial/by-id name. An entry of an explicit map (-p, --ports, QUILLET_PORT,\n"
     "QUILLET_PORTS) whose device does not exist is shown as absent. With -v every\n"
     "field goes on a line of its own.\n",
#endif
     {}},
    {"search", "search [--kind KIND]",
     "search COM1..COM99 for the instrument (default\n"
     "generator) and print where it answered",
     "Presses the search button of the instrument kind: tries COM1 to COM99 in turn\n"
     "with the kind's search frame and prints the first port where the instrument\n"
     "answered.\n",
     {"kind", "all", "watch", "expect"}},
    {"pattern", "pattern --slot N IMAGE",
     "store a 1920x1080 image (24-bit BMP or PNG) in\n"
     "user-pattern slot N (1..4) of the signal generator",
     "Searches the signal generator, loads IMAGE (1920x1080: a 24-bit BMP, bottom-up\n"
     "or top-down, or a PNG of 8 bits per channel, RGB, grey or palette, whose alpha\n"
     "is left out) and stores it in user-pattern slot N: the slot command, the wait\n"
     "for the erase, then 24,300 blocks of 256 bytes, each acknowledged by the\n"
     "instrument.\n",
     {"slot", "all", "watch", "expect"}},
    {"panel", "panel --slot N IMAGE",
     "store the 240x160 panel image of IMAGE in\n"
     "slot N (1..4) of the front-panel display",
     "Searches the signal generator, loads IMAGE (a 24-bit BMP or a PNG, 1920x1080,\n"
     "or 240x160 for the panel image alone) and stores its 240x160 RGB565 copy in\n"
     "slot N of the data flash of the generator's front-panel display: 300\n"
     "acknowledged blocks.\n",
     {"slot", "all", "watch", "expect"}},
    {"fpga", "fpga generator|analyzer",
     "write GENERATOR_FPGA.bin or ANALYZER_FPGA.bin of the data folder to the FPGA flash",
     "fpga generator|analyzer searches that instrument and writes its FPGA image,\n"
     "GENERATOR_FPGA.bin or ANALYZER_FPGA.bin of the data folder (./data or --data),\n"
     "to its FPGA flash as\n"
     "acknowledged blocks. fpga aux FILE searches the instrument of --kind (default\n"
     "generator) and writes FILE to its auxiliary FPGA flash.\n",
     {"kind", "all", "watch", "expect"}},
    {"mcu", "mcu generator|analyzer [--direct] [--verify] [--fast]",
     "update the main MCU through its bootloader from GENERATOR_MCU.bin or "
     "ANALYZER_MCU.bin of the data folder",
     "Searches the instrument, restarts its main MCU in its serial bootloader and\n"
     "writes GENERATOR_MCU.bin or ANALYZER_MCU.bin of the data folder (./data or\n"
     "--data) into its flash in pieces of 128 bytes at even parity.\n",
     {"direct", "verify", "fast", "all", "watch", "expect"}},
    {"sub-mcu", "sub-mcu INDEX [--kind KIND]",
     "restart sub-MCU INDEX (0 Keyboard, 1..9 input1..9\n"
     "MCU, 10 LAN MCU) in boot mode and hand the port\n"
     "to ./FlyMcu/FlyMcu.exe",
     "Searches the instrument of --kind (default generator), restarts sub-MCU INDEX\n"
     "of the MCU list (0 Keyboard, 1 to 9 input1 to input9 MCU, 10 LAN MCU) in\n"
     "boot mode, gives up the port and starts the outside flashing tool\n"
     "./FlyMcu/FlyMcu.exe (through wine when it is a Windows program).\n",
     {"kind"}},
    {"input-board", "input-board N FILE [--kind KIND]",
     "update input board N (1..4) with FILE",
     "Searches the instrument of --kind (default generator), loads the RAM loader\n"
     "into input board N (1 to 4) and sends FILE to it in CRC-protected chunks.\n",
     {"kind", "all", "watch", "expect"}},
    {"analyzer-data", "analyzer-data FILE",
     "write FILE to the signal analyzer's data flash",
     "Searches the signal analyzer and writes FILE to its data flash as\n"
     "acknowledged blocks.\n",
     {"all", "watch", "expect"}},
    {"demo", "demo [--baud N]",
     "start a simulated signal generator in this\n"
     "process and store a sample pattern in slot 1",
     "Writes a sample 1920x1080 test pattern, sample-pattern.bmp, into the folder\n"
     "quillet-demo of the system's temporary folder (as the dialog's demo does),\n"
     "starts a simulated signal generator in this process as COM1 and stores the\n"
     "pattern in its slot 1; the simulator keeps what it received in\n"
     "quillet-demo/received. Then the image it stored is compared with the source.\n"
     "With --baud 115200 the upload takes as long as on a real line (about ten\n"
     "minutes).\n",
     {"baud"}},
    {"help", "help [COMMAND]", "this text, or the help of COMMAND",
     "Prints the overview of the commands, or the help of COMMAND.\n", {}},
#ifndef _WIN32
    {"completion", "completion",
     "print the bash completion script",
     "Prints the bash completion script of quillet-cli (commands, kinds, options\n"
     "and the ports present). Packages install it; by hand:\n"
     "  source <(quillet-cli completion)\n",
     {}},
#endif
};

const CommandInfo* FindCommand(const std::string& name) {
    for (const auto& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

// "-p, --port DEVICE" / "    --ports LIST".
std::string OptionLabel(const OptionInfo& o) {
    std::string s = o.shortName ? std::string(o.shortName) + ", " : std::string("    ");
    s += o.longName;
    if (o.value) s += std::string(" ") + o.value;
    return s;
}

// Writes `label` padded to `column`, then `text` word-wrapped to 79
// characters with its later lines indented to that column; a label too long
// for it gets a line of its own.
void Column(std::string& out, const std::string& label, const std::string& text,
            std::size_t column) {
    constexpr std::size_t kWidth = 79;
    out += label;
    if (!label.empty() && label.size() + 1 > column) out += "\n" + std::string(column, ' ');
    else out += std::string(column - label.size(), ' ');
    std::istringstream words(text);
    std::string word;
    std::size_t at = column;
    bool first = true;
    while (words >> word) {
        if (!first && at + 1 + word.size() > kWidth) {
            out += "\n" + std::string(column, ' ');
            at = column;
            first = true;
        }
        if (!first) {
            out += ' ';
            ++at;
        }
        out += word;
        at += word.size();
        first = false;
    }
    out += "\n";
}

std::string OptionList(const OptionInfo* begin, const OptionInfo* end, const std::string* onlyKeys,
                       std::size_t keyCount) {
    std::string out;
    for (const OptionInfo* o = begin; o != end; ++o) {
        if (onlyKeys && std::find(onlyKeys, onlyKeys + keyCount, std::string(o->key)) ==
                            onlyKeys + keyCount)
            continue;
        Column(out, "  " + OptionLabel(*o), o->help, 25);
    }
    return out;
}

const char kEnvironmentText[] =
    "Environment:\n"
    "  QUILLET_PORT           the device for -p when it is not given\n"
    "  QUILLET_PORTS          the port map when neither -p nor --ports is given\n"
    "  QUILLET_TIMEOUT        seconds for --timeout when it is not given\n"
    "  QUILLET_DATA           the folder for --data when it is not given\n";

const char kProgressText[] =
    "Progress:\n"
    "  On a terminal a bar with the stage (searching, erasing, syncing, writing,\n"
    "  verifying), the units done (blocks, pieces or bytes), the rate and the time\n"
    "  left; otherwise a line at each tenth of the way; with --json, JSON lines.\n"
    "  Rates are in SI units (1 kB = 1000 bytes) and count the data phase only.\n";

const char kExitText[] =
    "Exit status:\n"
    "  0    done\n"
    "  1    the flow failed (its message on stderr)\n"
    "  2    usage error\n"
    "  3    time-out (the instrument stopped answering)\n"
#ifdef _WIN32
    "  129  interrupted by closing the console window (the port is closed first)\n"
    "  130  interrupted by Ctrl+C or Ctrl+Break (the port is closed first)\n"
    "  143  interrupted by logging off or shutting down Windows (the port is closed first)\n";
#else
    "  129  ended by SIGHUP (the terminal went away; the port is closed first)\n"
    "  130  interrupted (Ctrl+C; the port is closed first)\n"
    "  143  ended by SIGTERM (the port is closed first)\n";
#endif

// ---- parsing --------------------------------------------------------------------

// Both tables, global options first.
const std::span<const OptionInfo> kOptionTables[] = {kGlobalOptions, kCommandOptions};

// The option whose short or long name is `name`; nullptr when the tables have none.
const OptionInfo* FindOption(const std::string& name) {
    for (const std::span<const OptionInfo> table : kOptionTables)
        for (const OptionInfo& o : table)
            if ((o.shortName && name == o.shortName) || name == o.longName) return &o;
    return nullptr;
}

// Applies `o`, written as `name`, with the value from "--name=value" when
// there is one, otherwise from the next word (options with a value only).
std::string ApplyWithValue(const OptionInfo& o, const std::string& name, const std::optional<std::string>& inlineValue,
                           const std::vector<std::string>& argv, std::size_t& i, ParseState& s) {
    if (!o.value) {
        if (inlineValue) return "option " + name + " takes no value";
        return o.apply(s, name, {});
    }
    if (inlineValue) return o.apply(s, name, *inlineValue);
    if (i + 1 >= argv.size()) return "option " + name + " needs a value";
    return o.apply(s, name, argv[++i]);
}

// A word of combined short options (-vv, -hv, -vp DEVICE, -pDEVICE): each
// letter a flag, except that an option with a value takes the rest of the
// word, or the next word, as its value.
std::string ShortCluster(const std::vector<std::string>& argv, std::size_t& i, ParseState& s) {
    const std::string& word = argv[i];
    for (std::size_t k = 1; k < word.size(); ++k) {
        const std::string name{'-', word[k]};
        const OptionInfo* o = FindOption(name);
        if (!o) {
            if (k == 1) return "unknown option " + word;
            return "unknown option " + name + " (in " + word + ")";
        }
        if (o->value) {
            std::optional<std::string> rest;
            if (k + 1 < word.size()) rest = word.substr(k + 1);
            return ApplyWithValue(*o, name, rest, argv, i, s);
        }
        if (std::string err = o->apply(s, name, {}); !err.empty()) return err;
    }
    return {};
}

// The option word argv[i] (it starts with '-' and is neither "-" nor "--"),
// with its value; "--name=value" and "--name value" both work.
std::string TakeOption(const std::vector<std::string>& argv, std::size_t& i, ParseState& s) {
    std::string word = argv[i];
    if (word.size() > 2 && word[1] != '-') return ShortCluster(argv, i, s);
    std::optional<std::string> inlineValue;
    if (const auto eq = word.find('='); word.rfind("--", 0) == 0 && eq != std::string::npos) {
        inlineValue = word.substr(eq + 1);
        word = word.substr(0, eq);
    }
    const OptionInfo* o = FindOption(word);
    if (!o) return "unknown option " + word;
    return ApplyWithValue(*o, word, inlineValue, argv, i, s);
}

// The defaults of the environment for what the options left open, and the
// port: -p/--port (or QUILLET_PORT) becomes a map of COM1 alone.
std::string ApplyEnvironment(ParseState& s, const Environment& env) {
    Args& out = s.out;
    if (s.port && out.ports) return "-p/--port and --ports do not go together";
    if (!s.port && !out.ports) {
        if (const char* p = env ? env("QUILLET_PORT") : nullptr; p && *p) {
            if (std::string(p).find(',') != std::string::npos)
                return std::string("QUILLET_PORT names one device, not \"") + p + "\" (QUILLET_PORTS takes a list)";
            s.port = p;
        }
    }
    if (s.port) out.ports = *s.port;  // COM1 = the device, nothing else
    if (!s.dataGiven) {
        if (const char* d = env ? env("QUILLET_DATA") : nullptr; d && *d) out.dataFolder = d;
    }
    if (!s.timeoutGiven) {
        if (const char* t = env ? env("QUILLET_TIMEOUT") : nullptr; t && *t) {
            if (!ParseSeconds(t, out.timeoutMs))
                return std::string("QUILLET_TIMEOUT needs a number of seconds above 0, not \"") + t + "\"";
        }
    }
    return {};
}

} // namespace

std::string ParseArgs(const std::vector<std::string>& argv, Args& out, const Environment& env) {
    out = Args{};
    ParseState state{out, std::nullopt, false, false};
    bool onlyOperands = false;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& word = argv[i];
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
        if (std::string err = TakeOption(argv, i, state); !err.empty()) return err;
    }
    return ApplyEnvironment(state, env);
}

std::vector<OptionName> OptionNames() {
    std::vector<OptionName> names;
    for (const std::span<const OptionInfo> table : kOptionTables)
        for (const OptionInfo& o : table) names.push_back({o.shortName, o.longName, o.value});
    return names;
}

namespace {

// The command options given must be ones the command takes; --watch and
// --expect go with --all only.
std::string CheckCommandOptions(const Args& a, const CommandInfo& info) {
    for (const OptionInfo& o : kCommandOptions) {
        if (!o.given(a)) continue;
        if (std::find(info.options.begin(), info.options.end(), o.key) == info.options.end())
            return std::string(o.longName) + " does not go with " + a.command;
        if (o.needsAll && !a.all) return std::string(o.longName) + " goes with --all";
    }
    return {};
}

} // namespace

std::string CheckCommand(const Args& a) {
    const std::string& c = a.command;
    if (c.empty()) return "no command given";
    auto operands = [&](std::size_t n, const char* form) -> std::string {
        if (a.operands.size() != n) return std::string("usage: quillet-cli ") + form;
        return {};
    };
    const CommandInfo* info = FindCommand(c);
    if (!info) return "unknown command \"" + c + "\"";
    std::string err;
    if (c == "ports" || c == "demo" || c == "completion") {
        err = operands(0, info->synopsis);
    } else if (c == "help") {
        if (a.operands.size() > 1) err = "usage: quillet-cli help [COMMAND]";
        else if (a.operands.size() == 1 && !FindCommand(a.operands[0]))
            err = "unknown command \"" + a.operands[0] + "\"";
    } else if (c == "search") {
        err = operands(0, "search [--kind KIND]");
    } else if (c == "pattern" || c == "panel") {
        err = operands(1, (c + " --slot N IMAGE").c_str());
        if (err.empty() && !a.slot) err = c + " needs --slot N (1 to 4)";
    } else if (c == "fpga") {
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
        err = operands(1, "mcu generator|analyzer [--direct] [--verify] [--fast]");
        if (err.empty() && a.operands[0] != "generator" && a.operands[0] != "analyzer")
            err = "unknown MCU \"" + a.operands[0] + "\" (generator or analyzer)";
        if (err.empty() && a.direct && a.operands[0] != "generator")
            err = "--direct only goes with mcu generator";
    } else if (c == "sub-mcu") {
        err = operands(1, "sub-mcu INDEX [--kind KIND]   (INDEX 0..10)");
        long long n = 0;
        if (err.empty() && (!ParseInteger(a.operands[0], n) || n < 0 || n > 10))
            err = "sub-mcu needs an MCU list index from 0 to 10, not \"" + a.operands[0] + "\"";
    } else if (c == "input-board") {
        err = operands(2, "input-board N FILE [--kind KIND]   (N 1..4)");
        long long n = 0;
        if (err.empty() && (!ParseInteger(a.operands[0], n) || n < 1 || n > 4))
            err = "input-board needs a board number from 1 to 4, not \"" + a.operands[0] + "\"";
    } else if (c == "analyzer-data") {
        err = operands(1, "analyzer-data FILE");
    }
    if (!err.empty()) return err;
    return CheckCommandOptions(a, *info);
}

std::vector<std::string> CommandNames() {
    std::vector<std::string> names;
    for (const auto& c : kCommands) names.emplace_back(c.name);
    return names;
}

std::string UsageText() {
    std::string out =
        "Usage: quillet-cli [OPTIONS] COMMAND [ARGUMENTS]\n"
        "\n"
        "Drives the instrument's flows from a command line, as an operator would press\n"
        "the buttons of the dialog. Every flow starts with the search of its instrument.\n"
        "\n"
        "Commands:\n";
    for (const auto& c : kCommands) {
        Column(out, std::string("  ") + c.synopsis, c.summary, 33);
        if (std::string(c.name) == "fpga")
            Column(out, "  fpga aux FILE [--kind KIND]", "write FILE to the auxiliary FPGA flash", 33);
    }
    out += "\nKinds: " + DeviceKindNames() + ".\n\nOptions:\n";
    out += OptionList(std::begin(kGlobalOptions), std::end(kGlobalOptions), nullptr, 0);
    out += OptionList(std::begin(kCommandOptions), std::end(kCommandOptions), nullptr, 0);
    out += "\n";
    out += kProgressText;
    out += "\n";
    out += kEnvironmentText;
    out += "\n";
    out += kExitText;
    out += "\nSee also:\n  quillet-cli help COMMAND (or COMMAND --help) for the help of one command.\n";
    return out;
}

std::string CommandHelp(const std::string& command) {
    const CommandInfo* c = FindCommand(command);
    if (!c) return {};
    std::string out = std::string("Usage: quillet-cli [OPTIONS] ") + c->synopsis + "\n";
    if (command == "fpga") out += "       quillet-cli [OPTIONS] fpga aux FILE [--kind KIND]\n";
    out += "\n";
    out += c->description;
    if (!c->options.empty()) {
        out += "\nOptions of this command:\n";
        out += OptionList(std::begin(kCommandOptions), std::end(kCommandOptions),
                          c->options.data(), c->options.size());
        if (std::find(c->options.begin(), c->options.end(), "kind") != c->options.end())
            out += "\nKinds: " + DeviceKindNames() + ".\n";
    }
    if ((command == "pattern" || command == "panel") && !PngSupported())
        out += "\nThis build reads no PNG images (it was built without libpng).\n";
    // The global options by name only: what they do is in the overview.
    std::string names;
    for (const auto& o : kGlobalOptions) {
        std::string label = o.shortName ? std::string(o.shortName) + "/" + o.longName : o.longName;
        if (o.value) label += std::string(" ") + o.value;
        names += (names.empty() ? "" : ", ") + label;
    }
    out += "\n";
    Column(out, "", "Global options: " + names + ". See 'quillet-cli --help' for them, the environment and the "
                "exit status.", 0);
    return out;
}

namespace {

// The completion script's part for the value of an option: devices after
// -p, files after --ports and --log, folders after --data, kinds, slots.
std::string CompletionOfValues() {
    std::string s;
    // "--log=FILE": bash splits the word at '=', the option is two words back.
    s += "    local opt=$prev\n";
    s += "    if [[ $cur == = ]]; then opt=$prev; cur=; fi\n";
    s += "    if [[ $prev == = ]] && ((COMP_CWORD >= 2)); then opt=${COMP_WORDS[COMP_CWORD-2]}; fi\n";
    s += "    case $opt in\n";
    s += "        -p|--port|-[hv]*p)\n";
    s += "            local devices\n";
    s += "            devices=$(\"${COMP_WORDS[0]}\" ports 2>/dev/null | awk '{print $2}'; "
         "compgen -G '/dev/serial/by-id/*')\n";
    s += "            COMPREPLY=($(compgen -W \"$devices\" -- \"$cur\"))\n";
    s += "            return ;;\n";
    s += "        --ports|--log) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n";
    s += "        --data) COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n";
    s += "        --kind) COMPREPLY=($(compgen -W \"$kinds\" -- \"$cur\")); return ;;\n";
    s += "        --slot) COMPREPLY=($(compgen -W \"1 2 3 4\" -- \"$cur\")); return ;;\n";
    s += "        --timeout|--baud) return ;;\n";
    s += "    esac\n";
    return s;
}

// The completion script's part for the words after the command.
std::string CompletionOfOperands() {
    std::string s;
    s += "    case $cmd in\n";
    s += "        '') COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\")) ;;\n";
    s += "        help) ((nops == 0)) && COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\")) ;;\n";
    s += "        fpga) if ((nops == 0)); then COMPREPLY=($(compgen -W \"generator analyzer aux\" -- \"$cur\"));"
         " else COMPREPLY=($(compgen -f -- \"$cur\")); fi ;;\n";
    s += "        mcu) ((nops == 0)) && COMPREPLY=($(compgen -W \"generator analyzer\" -- \"$cur\")) ;;\n";
    s += "        sub-mcu) ((nops == 0)) && COMPREPLY=($(compgen -W \"0 1 2 3 4 5 6 7 8 9 10\" -- \"$cur\")) ;;\n";
    s += "        input-board) if ((nops == 0)); then COMPREPLY=($(compgen -W \"1 2 3 4\" -- \"$cur\"));"
         " else COMPREPLY=($(compgen -f -- \"$cur\")); fi ;;\n";
    s += "        pattern|panel|analyzer-data) COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n";
    s += "    esac\n";
    return s;
}

} // namespace

std::string BashCompletion() {
    auto join = [](const std::vector<std::string>& words) {
        std::string s;
        for (const auto& w : words) s += (s.empty() ? "" : " ") + w;
        return s;
    };
    std::vector<std::string> globals, valued;
    for (const auto& o : kGlobalOptions) {
        if (o.shortName) globals.emplace_back(o.shortName);
        globals.emplace_back(o.longName);
        if (o.value) {
            if (o.shortName) valued.emplace_back(o.shortName);
            valued.emplace_back(o.longName);
        }
    }
    for (const auto& o : kCommandOptions)
        if (o.value) valued.emplace_back(o.longName);
    std::string perCommand;
    for (const auto& c : kCommands) {
        std::vector<std::string> opts;
        for (const auto& key : c.options)
            for (const auto& o : kCommandOptions)
                if (key == o.key) opts.emplace_back(o.longName);
        if (!opts.empty()) perCommand += "        " + std::string(c.name) + ") opts=\"" + join(opts) + "\" ;;\n";
    }
    std::string valuedPattern;
    for (const auto& v : valued) valuedPattern += (valuedPattern.empty() ? "" : "|") + v;

    std::string s;
    s += "# bash completion for quillet-cli (written by quillet-cli completion)\n";
    s += "_quillet_cli() {\n";
    s += "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n";
    s += "    local commands=\"" + join(CommandNames()) + "\"\n";
    s += "    local kinds=\"" + DeviceKindNames(" ") + "\"\n";
    s += "    local globals=\"" + join(globals) + "\"\n";
    s += "    COMPREPLY=()\n";
    s += CompletionOfValues();
    s += "    local i cmd= nops=0\n";
    s += "    for ((i = 1; i < COMP_CWORD; i++)); do\n";
    s += "        case ${COMP_WORDS[i]} in\n";
    s += "            " + valuedPattern + "|-[hv]*p) [[ ${COMP_WORDS[i+1]} == = ]] && ((i++)); ((i++)) ;;\n";
    s += "            -*) ;;\n";
    s += "            *) if [[ -z $cmd ]]; then cmd=${COMP_WORDS[i]}; else ((nops++)); fi ;;\n";
    s += "        esac\n";
    s += "    done\n";
    s += "    if [[ $cur == -* ]]; then\n";
    s += "        local opts=\n";
    s += "        case $cmd in\n";
    s += perCommand;
    s += "        esac\n";
    s += "        COMPREPLY=($(compgen -W \"$globals $opts\" -- \"$cur\"))\n";
    s += "        return\n";
    s += "    fi\n";
    s += CompletionOfOperands();
    s += "}\n";
    s += "complete -o filenames -F _quillet_cli quillet-cli\n";
    return s;
}

} // namespace quillet::cli
