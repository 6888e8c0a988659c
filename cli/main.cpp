// quillet-cli: the dialog's flows from a command line. It presses the
// buttons and fills the fields an operator would, on the plain event loop,
// and turns the outcome into an exit code.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/Version.h"
#include "cli/AllRun.h"
#include "cli/Args.h"
#include "cli/BmpCompare.h"
#include "cli/Interrupt.h"
#include "cli/Console.h"
#include "cli/OpenRefusals.h"
#include "cli/Output.h"
#include "cli/Progress.h"
#include "cli/Report.h"
#include "cli/Session.h"
#include "dialog/Resources.h"
#include "discovery/DeviceKinds.h"
#include "pattern/BmpImport.h"
#include "pattern/FileBytes.h"
#include "platform/Utf8.h"
#include "serial/NetAddress.h"
#include "serial/NetSerialDevice.h"
#include "serial/PortMap.h"
#if QUILLET_SIM_PTY
#include "sim/lib/Simulator.h"
#else
#include "sim/lib/MemoryDevice.h"
#endif

#if __has_include("pattern/SamplePattern.h")
#include "pattern/SamplePattern.h"
#define QUILLET_HAVE_SAMPLE_PATTERN 1
#endif

namespace quillet::cli {
namespace {

// Where the system keeps the device: its sysfs directory, or on Windows
// the kernel's device object.
#ifdef _WIN32
constexpr const char* kDevicePlace = "device object";
#else
constexpr const char* kDevicePlace = "sysfs";
#endif

// The serial devices the default map leaves out because they are the
// system's console; none when the map is given (-p, --ports, QUILLET_PORTS).
std::vector<std::string> LeftOutConsoles(const PortMap& map) {
    std::vector<std::string> devices;
    if (map.IsExplicit() || std::getenv("QUILLET_PORTS")) return devices;
    for (const auto& name : SystemConsoles()) {
        const std::vector<std::string> serial = PortMap::OrderDevices({name});
        std::error_code ec;
        if (!serial.empty() && std::filesystem::exists(serial.front(), ec)) devices.push_back(serial.front());
    }
    return devices;
}

// "COMn  DEVICE  what is known of it"; with `verbose` every known field on a
// line of its own; with `json` all of them in the final object.
int ListPorts(const PortMap& map, bool verbose, bool json, const std::string& started) {
    Outcome outcome;
    outcome.command = "ports";
    outcome.started = started;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& [com, device] : map.Present()) {
        const PortDescription d = DescribePort(device);
        if (json) {
            nlohmann::ordered_json p;
            p["com"] = com;
            p["device"] = device;
            p["present"] = d.exists;
            const std::pair<const char*, const std::string*> all[] = {
                {"by_id", &d.byId},           {"vid", &d.vid},
                {"pid", &d.pid},              {"manufacturer", &d.manufacturer},
                {"product", &d.product},      {"serial_number", &d.serialNumber},
                {"driver", &d.driver},        {"interface", &d.interfaceName},
                {"location", &d.location},    {"subsystem", &d.subsystem},
                {"sysfs", &d.sysfsPath},      {"description", nullptr},
            };
            for (const auto& [name, value] : all) {
                const std::string v = value ? *value : d.Summary();
                p[name] = v.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(v);
            }
            p["latency_timer_ms"] = d.latencyTimerMs ? nlohmann::ordered_json(*d.latencyTimerMs) : nlohmann::ordered_json();
            p["advice"] = d.advice.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(d.advice);
            list.push_back(p);
            continue;
        }
        const std::string summary = EscapeControls(d.Summary());
        std::printf("COM%u  %s%s%s\n", com, EscapeControls(device).c_str(), summary.empty() ? "" : "  ",
                    summary.c_str());
        if (!d.advice.empty()) std::printf("      %s\n", EscapeControls(d.advice).c_str());
        if (!verbose || !d.exists) continue;
        const std::pair<const char*, const std::string*> fields[] = {
            {"by-id", &d.byId},          {"product", &d.product},
            {"manufacturer", &d.manufacturer}, {"serial number", &d.serialNumber},
            {"USB vendor id", &d.vid},   {"USB product id", &d.pid},
            {"interface", &d.interfaceName}, {"USB location", &d.location},
            {"driver", &d.driver},       {"subsystem", &d.subsystem},
            {kDevicePlace, &d.sysfsPath},
        };
        for (const auto& [name, value] : fields)
            if (!value->empty()) std::printf("      %-15s %s\n", name, EscapeControls(*value).c_str());
        if (d.latencyTimerMs) std::printf("      %-15s %u ms\n", "latency timer", *d.latencyTimerMs);
    }
    const std::vector<std::string> consoles = LeftOutConsoles(map);
    if (json) {
        outcome.message = std::to_string(list.size()) + (list.size() == 1 ? " port" : " ports") + " in the map";
        outcome.extra["ports"] = list;
        outcome.extra["left_out"] = consoles;
        PrintOutcome(outcome);
        return kExitDone;
    }
    for (const auto& device : consoles)
        std::printf("%s is the system console: left out of the default map (-p %s reaches it)\n",
                    EscapeControls(device).c_str(), EscapeControls(device).c_str());
    return kExitDone;
}

// What the operator should know of an image that loads (its alpha left
// out), on stderr before the flow; nothing for a file the flow refuses,
// which says why itself.
void TellImageNote(const std::string& path, bool json) {
    std::vector<std::uint8_t> bytes;
    if (!ReadFileBytes(path, bytes, nullptr, kPatternBmpFile)) return;
    auto images = std::make_unique<PatternImages>();
    const BmpOutcome out = DecodePatternBmp(bytes.data(), bytes.size(), *images);
    if (!out.note) return;
    const std::string text = path + ": " + out.note;
    WriteOut(stderr, json ? MessageEvent("info", text) : "quillet-cli: " + EscapeControls(text) + "\n");
}

// The embedded job for machines without a display: a simulated signal
// generator in this process, offered as COM1, receives the sample pattern
// in slot 1; then the image it stored is compared with the source. What it
// did goes into `outcome`.
// Why the file the command reads cannot be used, as its flow would say it
// (empty when it can, or when the command reads none). A fixed image of the
// data folder is named as the dialog names it.
std::string FileRefusal(const Args& args, const SessionOptions& options) {
    const std::string& c = args.command;
    const auto& operands = args.operands;
    if (c == "pattern" || c == "panel") return CheckInputFile(operands[0], kPatternBmpFile);
    if (c == "analyzer-data") return CheckInputFile(operands[0], kBlockImageFile);
    if (c == "input-board") return CheckInputFile(operands[1], kBoardImageFile);
    if (c == "fpga" && operands[0] == "aux") return CheckInputFile(operands[1], kBlockImageFile);
    if (c != "fpga" && c != "mcu") return {};
    const bool analyzer = operands[0] == "analyzer";
    const char* name = c == "mcu" ? (analyzer ? kAnalyzerMcuImage : kGeneratorMcuImage)
                                  : (analyzer ? kAnalyzerFpgaImage : kGeneratorFpgaImage);
    SessionOptions quiet = options;
    quiet.verbosity = 0;
    quiet.traceOut = nullptr;
    quiet.ports = PortMap(std::vector<std::string>{});
    Session probe(quiet);
    return CheckInputFile(probe.Dialog().DataFile(name), c == "mcu" ? kMcuImageFile : kBlockImageFile);
}

int RunDemo(const SessionOptions& options, unsigned baud, Outcome& outcome) {
    // With --json, stdout is the final object's.
    std::FILE* info = options.json ? stderr : stdout;
    auto tell = [&](const std::string& text) {
        outcome.message = text;
        WriteOut(info, options.json ? MessageEvent("info", text) : text + "\n");
    };
    auto fail = [&](const std::string& text) {
        outcome.message = text;
        WriteOut(stderr, options.json ? MessageEvent("error", text) : "quillet-cli: " + text + "\n");
        return kExitFailed;
    };
#ifndef QUILLET_HAVE_SAMPLE_PATTERN
    (void)baud;
    (void)tell;
    return fail("this build has no simulator for the demo");
#else
    // The same place and names as the dialog's demo: quillet-demo in the
    // system's temporary folder, the sample in it, what the simulator
    // stored in its folder "received".
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::temp_directory_path(ec) / "quillet-demo";
    const std::string outDir = Utf8FromPath(folder / "received");
    std::filesystem::create_directories(folder / "received", ec);
    if (ec) return fail("cannot make " + outDir + ": " + ec.message());
    const std::string sample = Utf8FromPath(folder / "sample-pattern.bmp");
    if (!WriteSamplePatternBmp(sample)) return fail("cannot write the sample pattern " + sample);
    tell("sample 1920x1080 test pattern: " + sample);

    sim::Options simOptions;
    simOptions.kind = kGroupGenerator;
    simOptions.outputDir = outDir;
    simOptions.baud = baud;
    SessionOptions sessionOptions = options;
#if QUILLET_SIM_PTY
    sim::Simulator simulator(simOptions);
    const std::string device = simulator.OpenPty();
    if (device.empty()) return fail("the simulator could not make a pseudo-terminal");
    simulator.Start();
#else
    // No pseudo-terminals here: the generator lives in this process, on a
    // line of its own that the serial link opens as COM1.
    sim::MemoryLine simulator(simOptions, "simulated generator");
    const std::string device = simulator.Name();
    sessionOptions.makeDevice = simulator.DeviceFactory();
#endif
    sessionOptions.ports = PortMap::FromList(device);
    tell("simulated signal generator on COM1 (" + device + "), storing in " + outDir +
         (baud ? " at " + std::to_string(baud) + " baud" : std::string()));

    int rc = kExitFailed;
    {
        Session session(sessionOptions);
        rc = session.StorePattern(1, sample);
        outcome = session.Result(rc);
    }
#if QUILLET_SIM_PTY
    simulator.Stop();
#else
    simulator.WriteSummaryFile();
#endif
    const sim::Summary summary = simulator.GetSummary();
    for (const auto& v : summary.violations)
        WriteOut(stderr, options.json ? MessageEvent("error", "simulator: protocol violation: " + v)
                                      : "simulator: protocol violation: " + v + "\n");
    if (rc != kExitDone) return rc;

    std::string stored;
    for (const auto& f : summary.filesWritten)
        if (f.find("pattern_slot1") != std::string::npos) stored = f;
    if (stored.empty()) return fail("the simulator stored no pattern for slot 1");
    const BmpComparison cmp = CompareBmpPixels(sample, stored);
    if (!cmp.readable) {
        tell("the simulator stored the received image at " + stored + " (not compared: " +
             cmp.problem + ")");
        return kExitDone;
    }
    if (!cmp.sameSize || cmp.differing) {
        tell("the simulator stored the received image at " + stored +
             ", but it differs from the source (" +
             std::to_string(cmp.sameSize ? cmp.differing : -1LL) + " pixels)");
        return kExitFailed;
    }
    tell("the simulator stored the received image at " + stored +
         "; it equals the source pixel for pixel");
    return kExitDone;
#endif
}

// The file the command sends: an operand, or the data folder's image.
std::string FlowFile(const Args& args, const CLoaderDlg& dlg) {
    const std::string& c = args.command;
    const auto& ops = args.operands;
    if (c == "pattern" || c == "panel" || c == "analyzer-data") return ops[0];
    if (c == "input-board") return ops[1];
    if (c == "fpga") return ops[0] == "aux" ? ops[1] : dlg.DataFile(ops[0] == "analyzer" ? kAnalyzerFpgaImage : kGeneratorFpgaImage);
    if (c == "mcu") return dlg.DataFile(ops[0] == "analyzer" ? kAnalyzerMcuImage : kGeneratorMcuImage);
    return {};
}

// What the final object tells of the command: the file and its SHA-256, the slot.
void DescribeCommand(const Args& args, Session& session, Outcome& o) {
    AddFileAndPort(o, FlowFile(args, session.Dialog()));
    const std::string& c = args.command;
    o.slot = args.slot && (c == "pattern" || c == "panel") ? args.slot : std::nullopt;
}

// --version and --help (or "help"): the exit code once answered; `err`
// names a help topic that does not exist.
std::optional<int> AnswerInfo(const Args& args, std::string& err) {
    if (args.version) {
        std::printf("quillet-cli %s\n", VersionText());
        return kExitDone;
    }
    if (!args.help && args.command != "help") return std::nullopt;
    // "help", "--help": the overview; "help CMD", "CMD --help": that command's.
    const std::string topic = args.command == "help" ? (args.operands.empty() ? "" : args.operands[0])
                                                     : args.command;
    const std::string text = topic.empty() ? UsageText() : CommandHelp(topic);
    if (text.empty()) {
        err = "unknown command \"" + topic + "\"";
        return std::nullopt;
    }
    std::fputs(text.c_str(), stdout);
    return kExitDone;
}

// What is wrong with the command line beyond its words: the command's
// operands and options, a malformed network URL in the map (before any
// port is opened), a data folder that does not exist.
std::string CheckUsage(const Args& args) {
    if (std::string err = CheckCommand(args); !err.empty()) return err;
    const char* envPorts = std::getenv("QUILLET_PORTS");
    if (std::string err = PortListProblem(args.ports ? *args.ports : envPorts ? envPorts : ""); !err.empty())
        return err;
    const bool readsData = args.command == "mcu" || (args.command == "fpga" && args.operands[0] != "aux");
    if (readsData && !args.dataFolder.empty() && !std::filesystem::is_directory(args.dataFolder))
        return "the data folder " + args.dataFolder + " does not exist";
    return {};
}

// A usage error: told, and with --json in the final object too.
int UsageError(const std::string& command, bool json, const std::string& started, const std::string& text) {
    if (!json) {
        WriteOut(stderr, "quillet-cli: " + EscapeControls(text) + "\n");
        return kExitUsage;
    }
    WriteOut(stderr, MessageEvent("error", text));
    Outcome o;
    o.command = command;
    o.exitCode = kExitUsage;
    o.error = ErrorCategory::Usage;
    o.started = started;
    o.message = text;
    PrintOutcome(o);
    return kExitUsage;
}

SessionOptions MakeSessionOptions(const Args& args, std::FILE* log) {
    SessionOptions options;
    options.timeoutMs = args.timeoutMs;
    // A network port's connect and set-up take no longer than --timeout.
    options.makeDevice = [limit = NetTimeoutsWithin(args.timeoutMs)] { return MakeSerialDevice(limit); };
    options.verbosity = log ? std::max(1, args.verbosity) : args.verbosity;
    options.traceOut = log;
    options.dataFolder = args.dataFolder;
    options.json = args.json;
    if (args.ports) options.ports = PortMap::FromList(*args.ports);
    if (const std::size_t leftOut = options.ports.LeftOut()) {
        const std::string text = "quillet-cli: " + std::to_string(leftOut) + (leftOut == 1 ? " entry" : " entries") +
                                 " of the port map past COM" + std::to_string(kLastCom) +
                                 " left out (the search goes from COM1 to COM" + std::to_string(kLastCom) + ")";
        WriteOut(stderr, args.json ? MessageEventOfLine(text, false) : text + "\n");
    }
    return options;
}

// The command's flow on one session.
std::function<int(Session&)> CommandFlow(const Args& args) {
    // --kind was checked against the kinds table; the generator by default.
    const DeviceKind& kind = args.kind ? *FindDeviceKind(*args.kind) : DeviceKindOfGroup(kGroupGenerator);
    return [&args, kind = &kind](Session& session) {
        const std::string& c = args.command;
        if (c == "search") return session.Search(*kind);
        if (c == "pattern") return session.StorePattern(*args.slot, args.operands[0]);
        if (c == "panel") return session.StorePanel(*args.slot, args.operands[0]);
        if (c == "fpga")
            return session.WriteFpga(args.operands[0], args.operands.size() > 1 ? args.operands[1] : "", *kind);
        if (c == "mcu") return session.UpdateMcu(args.operands[0] == "analyzer", args.direct, args.verify, args.fast);
        if (c == "sub-mcu") return session.EnterSubMcu(std::stoi(args.operands[0]), *kind);
        if (c == "input-board") return session.UpdateInputBoard(std::stoi(args.operands[0]), args.operands[1], *kind);
        if (c == "analyzer-data") return session.FlashAnalyzerData(args.operands[0]);
        return kExitUsage;
    };
}

// The command on every instrument of the map (--all, --watch).
int RunAll(const Args& args, const SessionOptions& options, const std::function<int(Session&)>& flow) {
    AllRunPlan plan;
    plan.command = args.command;
    plan.base = options;
    plan.base.files = std::make_shared<SharedFiles>();
    plan.flow = flow;
    plan.watch = args.watch;
    plan.expect = args.expect;
    plan.fileRefusal = [&args, &options] { return FileRefusal(args, options); };
    if (args.json) plan.describe = [&args](Outcome& o, Session& s) { DescribeCommand(args, s, o); };
    return RunOnAll(plan);
}

// The command on one instrument (or the demo); with --json its final object.
int RunOne(const Args& args, SessionOptions options, const std::function<int(Session&)>& flow,
           const std::string& started) {
    // A port named by the operator that cannot be opened is said why, -v or not.
    OpenRefusals refusals;
    if (args.ports) options.makeDevice = refusals.Factory(options.makeDevice);
    Outcome outcome;
    int rc = kExitUsage;
    if (args.command == "demo") {
        rc = RunDemo(options, args.baud, outcome);
    } else {
        Session session(options);
        rc = flow(session);
        outcome = session.Result(rc);
        if (args.json) DescribeCommand(args, session, outcome);
    }
    if (rc == kExitFailed)
        for (const auto& reason : refusals.Reasons())
            WriteOut(stderr, args.json ? MessageEvent("error", reason) : "quillet-cli: " + reason + "\n");
    if (args.json) {
        outcome.command = args.command;
        outcome.exitCode = rc;
        outcome.started = started;
        PrintOutcome(outcome);
    }
    return rc;
}

int Main(const std::vector<std::string>& argv) {
    // First: from here on output that cannot be written never ends the program.
    RunOutput output;
    const std::string started = UtcTimeText();
    Args args;
    std::string err = ParseArgs(argv, args, [](const char* name) { return std::getenv(name); });
    if (err.empty())
        if (const auto answered = AnswerInfo(args, err)) return *answered;
    if (err.empty()) err = CheckUsage(args);
    // Usage errors are told in the final object too when --json was asked for.
    const bool json = args.json || std::find(argv.begin(), argv.end(), "--json") != argv.end();
    output.SetJson(json);
    if (!err.empty() && !json) {
        WriteOut(stderr, "quillet-cli: " + EscapeControls(err) + "\nTry 'quillet-cli --help' for the commands.\n");
        return kExitUsage;
    }
    if (!err.empty()) return UsageError(args.command, json, started, err);
    if (args.command == "completion") {
        std::fputs(BashCompletion().c_str(), stdout);
        return kExitDone;
    }
    // --log FILE: the trace is appended there (at least the steps), after a header line.
    if (!args.logFile.empty()) {
        const std::string problem = output.OpenLog(args.logFile, CommandLineText("quillet-cli", argv));
        if (!problem.empty()) return UsageError(args.command, json, started, problem);
    }
    // With --json stderr carries JSON lines only: a trace needs a file of its own.
    if (args.json && args.verbosity > 0 && !output.Log())
        return UsageError(args.command, json, started, "with --json the trace (-v) goes to a file: add --log FILE");

    const SessionOptions options = MakeSessionOptions(args, output.Log());
    if (args.command == "ports") return ListPorts(options.ports, args.verbosity > 0, args.json, started);
    if (args.command == "pattern" || args.command == "panel") TellImageNote(args.operands[0], args.json);
    // Ctrl+C ends a flow cleanly, "interrupted".
    CatchInterrupt();
    const auto flow = CommandFlow(args);
    return args.all ? RunAll(args, options, flow) : RunOne(args, options, flow, started);
}

} // namespace
} // namespace quillet::cli

int main(int argc, char** argv) {
    return quillet::cli::Main(quillet::cli::Utf8Arguments(argc, argv));
}
