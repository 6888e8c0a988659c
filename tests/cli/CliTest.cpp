// quillet-cli end to end: the program run as a child process against the
// instrument simulator over real pseudo-terminals (the simulator library in
// this process, or the quillet-sim program), with its exit codes, its
// output and what the instrument received and stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "cli/CliSupport.h"
#include "sim/lib/Simulator.h"

namespace quillet::test {
namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::size_t CountOf(const std::vector<std::uint8_t>& hay, const std::vector<std::uint8_t>& needle) {
    std::size_t n = 0;
    for (auto it = hay.begin();
         (it = std::search(it, hay.end(), needle.begin(), needle.end())) != hay.end(); ++it)
        ++n;
    return n;
}

const std::vector<std::uint8_t> kGeneratorSearchFrame = {0xAA, 0x00, 0x00, 0x05, 0x00,
                                                         0x00, 0x00, 0x02, 0xF8, 0x57};

// A simulator in this process on a pseudo-terminal, writing into a
// temporary folder that is also the command line's current directory.
struct CliFixture : ::testing::Test {
    TempDir dir;
    std::unique_ptr<sim::Simulator> simulator;
    std::string device;

    void StartSim(sim::Options o = {}) {
        o.outputDir = dir / "sim";
        o.log = stderr;
        std::filesystem::create_directories(o.outputDir);
        simulator = std::make_unique<sim::Simulator>(o);
        device = simulator->OpenPty();
        ASSERT_FALSE(device.empty());
        // The simulator keeps the bootloader's parity on its pty (as quillet-sim announces).
        setenv("QUILLET_SIM_PTYS", device.c_str(), 1);
        simulator->Start();
    }
    void TearDown() override {
        if (simulator) simulator->Stop();
    }
    // The simulator's output, once it has been stopped.
    sim::Summary StopSim() {
        simulator->Stop();
        return simulator->GetSummary();
    }
    std::string Ports(int com) const {
        std::string list;
        for (int i = 1; i < com; ++i) list += ",";
        return list + device;
    }
    RunResult Cli(std::vector<std::string> args, int com = 1, double limit = 60) {
        args.insert(args.begin(), {"--ports", Ports(com)});
        return RunCli(args, dir.Path(), limit);
    }
};

std::string Describe(const RunResult& r) {
    return "exit " + std::to_string(r.code) + (r.timedOut ? " (killed)" : "") + "\nstdout:\n" +
           r.out + "\nstderr:\n" + r.err.substr(0, 4000);
}

// ---- command line --------------------------------------------------------------

TEST(CliUsage, UsageErrorsExitTwoAndNameTheProblem) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command"},
        {{"search", "--bogus"}, "unknown option --bogus"},
        {{"search", "--kind", "toaster"}, "unknown instrument kind"},
        {{"search", "--kind"}, "needs a value"},
        {{"pattern", "x.bmp"}, "--slot"},
        {{"pattern", "--slot", "5", "x.bmp"}, "1 to 4"},
        {{"pattern", "--slot", "2x", "x.bmp"}, "1 to 4"},
        {{"panel", "--slot", "1"}, "usage"},
        {{"fpga", "video"}, "unknown FPGA"},
        {{"fpga", "aux"}, "usage"},
        {{"mcu", "analyzer", "--direct"}, "--direct"},
        {{"sub-mcu", "11"}, "0 to 10"},
        {{"input-board", "5", "fw.bin"}, "1 to 4"},
        {{"analyzer-data"}, "usage"},
        {{"search", "--timeout", "soon"}, "--timeout"},
        {{"search", "--timeout", "0"}, "--timeout"},
        {{"ports", "--slot", "1"}, "--slot does not go with ports"},
        {{"search", "--verify"}, "--verify does not go with search"},
        {{"sub-mcu", "1", "--all"}, "--all does not go with sub-mcu"},
        {{"search", "--watch"}, "--watch goes with --all"},
        {{"search", "--all", "--fast"}, "--fast does not go with search"},
    };
    for (const auto& [args, message] : cases) {
        const RunResult r = RunCli(args);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(r.code, 2) << joined << "\n" << Describe(r);
        EXPECT_TRUE(Contains(r.err, message)) << joined << "\n" << r.err;
        EXPECT_TRUE(r.out.empty()) << joined;
    }
}

TEST(CliUsage, HelpListsEveryCommandAndOption) {
    const RunResult r = RunCli({"--help"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    for (const char* word : {"ports", "search", "pattern --slot N", "panel --slot N", "fpga generator|analyzer",
                             "fpga aux FILE", "mcu generator|analyzer", "--direct", "--verify",
                             "sub-mcu INDEX", "input-board N FILE", "analyzer-data FILE", "demo",
                             "--ports LIST", "--timeout S", "--verbose", "--kind", "--port DEVICE",
                             "--version", "QUILLET_PORT ", "QUILLET_TIMEOUT", "demo [--baud N]",
                             "--data DIR", "QUILLET_DATA", "--trace", "--log FILE"})
        EXPECT_TRUE(Contains(r.out, word)) << word;
}

TEST(CliUsage, VersionAndEachCommandsOwnHelp) {
    for (const std::string program : {QUILLET_CLI_PATH, QUILLET_SIM_PATH}) {
        const RunResult v = RunProgram(program, {"--version"});
        ASSERT_EQ(v.code, 0) << Describe(v);
        const std::string name = std::filesystem::path(program).filename().string();
        EXPECT_EQ(v.out.rfind(name + " " QUILLET_VERSION, 0), 0u) << v.out;
        EXPECT_EQ(std::count(v.out.begin(), v.out.end(), '\n'), 1) << v.out;
    }
    // "help CMD" and "CMD --help" print the same text: that command's usage,
    // its own options and the global ones, not the other commands.
    const RunResult a = RunCli({"help", "mcu"});
    const RunResult b = RunCli({"mcu", "--help"});
    ASSERT_EQ(a.code, 0) << Describe(a);
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(a.out.rfind("Usage: quillet-cli [OPTIONS] mcu generator|analyzer [--direct] [--verify] [--fast]\n", 0), 0u)
        << a.out;
    EXPECT_TRUE(Contains(a.out, "--verify") && Contains(a.out, "--timeout S") && Contains(a.out, "--all") &&
                Contains(a.out, "--watch"))
        << a.out;
    EXPECT_FALSE(Contains(a.out, "--slot") || Contains(a.out, "analyzer-data")) << a.out;
    const RunResult bad = RunCli({"help", "frobnicate"});
    EXPECT_EQ(bad.code, 2);
    EXPECT_TRUE(Contains(bad.err, "unknown command \"frobnicate\"")) << bad.err;
}

TEST(CliUsage, BashCompletionOffersCommandsKindsAndOptions) {
    TempDir dir;
    const RunResult c = RunCli({"completion"});
    ASSERT_EQ(c.code, 0) << Describe(c);
    WriteFile(dir / "completion.bash", std::vector<std::uint8_t>(c.out.begin(), c.out.end()));
    // Completes the last word of `line` as bash would, and returns the offers.
    auto complete = [&](const std::string& line) {
        const std::string script = "source " + (dir / "completion.bash") + "; COMP_WORDS=(" + line +
                                   "); [[ \"" + line + "\" == *' ' ]] && COMP_WORDS+=(''); "
                                   "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _quillet_cli; "
                                   "echo \"${COMPREPLY[*]}\"";
        const RunResult r = RunProgram("/bin/bash", {"-c", script});
        return r.out;
    };
    EXPECT_EQ(complete("quillet-cli pa"), "pattern panel\n");
    EXPECT_EQ(complete("quillet-cli search --kind m"), "mv42 mv48 mv99 mx88\n");
    EXPECT_EQ(complete("quillet-cli --timeout 3 mcu "), "generator analyzer\n");
    EXPECT_EQ(complete("quillet-cli mcu generator --v"), "--verbose --version --verify\n");
    EXPECT_EQ(complete("quillet-cli help in"), "input-board\n");
}

TEST(CliUsage, PortOptionAndEnvironmentDefaults) {
    // -p is a one-entry map, as is QUILLET_PORT; the command line wins.
    RunResult r = RunCli({"ports", "-p", "/dev/serial/by-id/usb-x-if00-port0"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_EQ(r.out, "COM1  /dev/serial/by-id/usb-x-if00-port0  absent\n");
    ::setenv("QUILLET_PORT", "/dev/from-env", 1);
    r = RunCli({"ports"});
    EXPECT_EQ(r.out.rfind("COM1  /dev/from-env", 0), 0u) << r.out;
    r = RunCli({"ports", "--ports", ",/dev/b"});
    EXPECT_EQ(r.out.rfind("COM2  /dev/b", 0), 0u) << r.out;
    ::unsetenv("QUILLET_PORT");
    r = RunCli({"ports", "-p", "/dev/a", "--ports", "/dev/b"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Contains(r.err, "do not go together")) << r.err;
    ::setenv("QUILLET_TIMEOUT", "soon", 1);
    r = RunCli({"ports"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(Contains(r.err, "QUILLET_TIMEOUT needs a number of seconds")) << r.err;
    ::unsetenv("QUILLET_TIMEOUT");
}

TEST(CliUsage, PortsListsTheMapInComOrder) {
    // Entries of an explicit map that do not exist are said to be absent.
    const RunResult r = RunCli({"ports", "--ports", ",/dev/first,,/dev/null"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_EQ(r.out, "COM2  /dev/first  absent\nCOM4  /dev/null\n");
}

// ---- search ---------------------------------------------------------------------

TEST_F(CliFixture, SearchFindsTheGeneratorOnCom3WithOneSearchFrame) {
    StartSim();
    const RunResult r = Cli({"search"}, 3);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "COM3")) << r.out;
    EXPECT_TRUE(Contains(r.out, device)) << r.out;
    ASSERT_TRUE(WaitFor([&] { return simulator->Received().size() >= 10; }, 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(simulator->Received(), kGeneratorSearchFrame);
}

TEST_F(CliFixture, TraceOnStderrOrInALogFile) {
    StartSim();
    RunResult r = Cli({"-vv", "search"}, 1);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "COM1  TX   10  aa 00 00 05 00 00 00 02  f8 57")) << r.err;
    EXPECT_TRUE(Contains(r.err, "COM1  RX   12  ab 00 00 07 00 00 00 02  f8 00 00 54"
                                "             |...........T|")) << r.err;
    // --log: the steps go to the file; stderr tells what it does without one.
    r = Cli({"-v", "--log", dir / "trace.log", "search"}, 2);
    ASSERT_EQ(r.code, 0) << Describe(r);
    const auto log = ReadFile(dir / "trace.log");
    const std::string text(log.begin(), log.end());
    EXPECT_TRUE(Contains(text, "COM2  opened " + device + " at 115200 8N1\n")) << text;
    EXPECT_TRUE(Contains(text, "COM2  search frame for the signal generator\n")) << text;
    EXPECT_TRUE(Contains(text, "found the signal generator on COM2\n")) << text;
    EXPECT_FALSE(Contains(text, " TX ")) << text;
    EXPECT_FALSE(Contains(r.err, "search frame")) << r.err;
    r = Cli({"--log", dir / "no/such/folder/trace.log", "search"}, 2);
    EXPECT_EQ(r.code, 2) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "cannot write the log")) << r.err;
}

// -p takes a stable /dev/serial/by-id style name: a link to the device.
TEST_F(CliFixture, PortByALinkToTheDevice) {
    StartSim();
    std::filesystem::create_directories(dir / "by-id");
    const std::string link = dir / "by-id/usb-Quillet_Generator_0001-if00-port0";
    std::filesystem::create_symlink(device, link);
    const RunResult r = RunCli({"-p", link, "search"}, dir.Path());
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_EQ(r.out, "Found the signal generator on COM1  " + link + "\n");
}

TEST_F(CliFixture, AnalyzerIsFoundByItsKindOnly) {
    sim::Options o;
    o.kind = kGroupAnalyzer;
    StartSim(o);
    const RunResult generator = Cli({"search"}, 2);
    EXPECT_EQ(generator.code, 1) << Describe(generator);
    EXPECT_TRUE(Contains(generator.err,
                         "ISP: Can not find available device for this console(from com1 to com99)\r"
                         " Or COM port is used by other application!"))
        << generator.err;
    EXPECT_TRUE(generator.out.empty());

    const RunResult analyzer = Cli({"search", "--kind", "analyzer"}, 2);
    ASSERT_EQ(analyzer.code, 0) << Describe(analyzer);
    EXPECT_TRUE(Contains(analyzer.out, "COM2")) << analyzer.out;
}

TEST(CliSimProgram, SilentInstrumentIsNotFound) {
    SimProgram sim({"--silent"});
    ASSERT_EQ(sim.Device().rfind("/dev/", 0), 0u) << sim.Device();
    const RunResult r = RunCli({"--ports", sim.Device(), "search"});
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "Can not find available device for this console")) << r.err;
    // The port opened: nothing is said of a refusal (nor of a COM number
    // the map leaves empty).
    EXPECT_FALSE(Contains(r.err, "could not be opened")) << r.err;
    // One port opened and got its 300 ms; the search had nothing else to wait for.
    EXPECT_GT(r.seconds, 0.25);
}

TEST(CliSimProgram, NoPortAtAllFailsAtOnce) {
    const RunResult r = RunCli({"--ports", ",,", "search", "--kind", "mv42"});
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "Can not find available device")) << r.err;
}

// ---- user pattern and panel -----------------------------------------------------------

TEST_F(CliFixture, FullPatternUploadToSlot2StoresTheSourcePixelForPixel) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    const std::string image = dir / "pattern.bmp";
    ASSERT_TRUE(PillowRandomBmp(image, 1920, 1080, 7));
    sim::Options o;
    o.eraseTimeMs = 100;
    StartSim(o);
    const RunResult r = Cli({"pattern", "--slot", "2", image}, 1, 90);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "24300 blocks acknowledged")) << r.out;
    const sim::Summary s = StopSim();
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    EXPECT_EQ(s.blocksAccepted, 24300u);
    const std::string stored = dir / "sim/pattern_slot2.bmp";
    ASSERT_TRUE(PillowDecodeRgb(stored, dir / "stored.rgb"));
    const auto expected = ReadFile(image + ".rgb");
    const auto got = ReadFile(dir / "stored.rgb");
    ASSERT_EQ(expected.size(), 1920u * 1080u * 3u);
    EXPECT_TRUE(got == expected) << "stored image differs from the source";
    // Plain progress lines, as stderr is no terminal.
    EXPECT_TRUE(Contains(r.err, "progress  50.0%")) << r.err.substr(0, 2000);
}

TEST_F(CliFixture, PanelUploadStoresTheRgb565Image) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    const std::string image = dir / "panel.bmp";
    ASSERT_TRUE(PillowRandomBmp(image, 240, 160, 3));
    StartSim();
    const RunResult r = Cli({"panel", "--slot", "3", image}, 2);
    ASSERT_EQ(r.code, 0) << Describe(r);
    const sim::Summary s = StopSim();
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    EXPECT_EQ(s.blocksAccepted, 300u);
    EXPECT_EQ(ReadFile(dir / "sim/panel_slot3.bin"), Rgb565(ReadFile(image + ".rgb")));
}

TEST_F(CliFixture, ResendRequestsAreAnsweredAndTheUploadCompletes) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    const std::string image = dir / "panel.bmp";
    ASSERT_TRUE(PillowRandomBmp(image, 240, 160, 4));
    sim::Options o;
    // Slot 1 runs from block 11400 to 11699; the last one is asked for again too.
    o.resendBlocks = {11405, 11500, 11699};
    o.noiseBytes = 3;
    StartSim(o);
    const RunResult r = Cli({"panel", "--slot", "1", image});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "3 sent again on request")) << r.out;
    const sim::Summary s = StopSim();
    EXPECT_EQ(s.blocksResent, 3u);
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    EXPECT_EQ(ReadFile(dir / "sim/panel_slot1.bin"), Rgb565(ReadFile(image + ".rgb")));
}

TEST_F(CliFixture, StalledInstrumentEndsWithTimeOutNamingTheLastBlock) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    const std::string image = dir / "panel.bmp";
    ASSERT_TRUE(PillowRandomBmp(image, 240, 160, 5));
    sim::Options o;
    o.stopAfterBlocks = 50;
    StartSim(o);
    const RunResult r = Cli({"--timeout", "1", "panel", "--slot", "1", image});
    EXPECT_EQ(r.code, 3) << Describe(r);
    // 50 blocks acknowledged: 11400 to 11449.
    EXPECT_TRUE(Contains(r.err, "the last acknowledged block is block 11449 (50 of 300")) << r.err;
    EXPECT_LT(r.seconds, 10);
}

TEST_F(CliFixture, TerminalShowsABarRedrawnInPlace) {
    const auto image = RandomBytes(60 * 256, 13);
    WriteFile(dir / "fpga-aux.bin", image);
    StartSim();
    const RunResult r = [&] {
        return RunCli({"--ports", Ports(1), "fpga", "aux", dir / "fpga-aux.bin"}, dir.Path(), 60, true);
    }();
    ASSERT_EQ(r.code, 0) << Describe(r);
    // Redrawn in place: carriage return and erase-line before each drawing,
    // the final state on a line of its own.
    EXPECT_TRUE(Contains(r.err, "\r\033[K[")) << r.err;
    EXPECT_TRUE(Contains(r.err, "100.0%  60/60 blocks  writing  ")) << r.err;
    EXPECT_TRUE(Contains(r.err, " blocks/s  left ")) << r.err;
    // The title stands on its own line above the bar.
    EXPECT_EQ(r.err.rfind("writing " + (dir / "fpga-aux.bin") + " to the aux FPGA flash\r\n", 0), 0u) << r.err;
    EXPECT_TRUE(Contains(r.err, "left 0:00\r\n")) << r.err;
    EXPECT_FALSE(Contains(r.err, "progress ")) << "plain lines on a terminal";
}

// A port that goes away during the search (an instrument unplugged right
// after the search frame reached it) belongs to the search: the flow that
// then runs on the generator's port goes on to the end. A port the search
// cannot use at all (/dev/null, a device that is no terminal) is passed by
// without a byte written to it.
TEST_F(CliFixture, APortLostDuringTheSearchLeavesTheFlowOnTheNextPortAlone) {
    const auto image = RandomBytes(20 * 256, 17);
    WriteFile(dir / "fpga-aux.bin", image);
    sim::Options pulled;
    pulled.outputDir = dir / "pulled";
    pulled.answerSearch = false;
    pulled.unplugAfterBytes = 10;
    sim::Simulator first(pulled);
    const std::string firstDevice = first.OpenPty();
    ASSERT_FALSE(firstDevice.empty());
    first.Start();
    StartSim();
    const RunResult r = RunCli({"-v", "--ports", "/dev/null," + firstDevice + "," + device, "fpga", "aux",
                                dir / "fpga-aux.bin"},
                               dir.Path(), 60);
    first.Stop();
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "COM1  /dev/null could not be opened: /dev/null is not a serial port")) << r.err;
    EXPECT_TRUE(Contains(r.err, "COM2  the device went away")) << r.err;
    EXPECT_TRUE(Contains(r.out, "20 blocks acknowledged")) << r.out;
    EXPECT_EQ(StopSim().blocksAccepted, 20u);
}

TEST_F(CliFixture, RejectedImageFailsWithTheProgramsMessage) {
    WriteFile(dir / "not.bmp", {'P', 'K', 3, 4, 5, 6});
    StartSim();
    const RunResult r = Cli({"pattern", "--slot", "1", dir / "not.bmp"});
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "It is not BMP file!")) << r.err;
    EXPECT_EQ(StopSim().blocksReceived, 0u);
}

// ---- output for scripts -----------------------------------------------------------------

// stdout is one JSON object; stderr has the progress as JSON lines among the
// program's messages (JSON lines too).
nlohmann::json FinalObject(const RunResult& r) {
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    return nlohmann::json::parse(r.out);
}

std::vector<nlohmann::json> ProgressLines(const std::string& err) {
    std::vector<nlohmann::json> lines;
    std::size_t at = 0;
    while (at < err.size()) {
        const std::size_t end = err.find('\n', at);
        const std::string line = err.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!line.empty() && line[0] == '{') {
            nlohmann::json j = nlohmann::json::parse(line);
            if (j["event"] != "message") lines.push_back(j);
        }
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return lines;
}

TEST_F(CliFixture, JsonTellsEveryCommandsOutcome) {
    WriteFile(dir / "fpga-aux.bin", RandomBytes(3000, 41));
    WriteFile(dir / "data/GENERATOR_MCU.bin", RandomBytes(300, 42));
    WriteFile(dir / "board.bin", RandomBytes(5000, 43));
    StartSim();
    RunResult r = Cli({"--json", "fpga", "aux", dir / "fpga-aux.bin"}, 2);
    ASSERT_EQ(r.code, 0) << Describe(r);
    nlohmann::json j = FinalObject(r);
    EXPECT_EQ(j["command"], "fpga");
    EXPECT_EQ(j["result"], "done");
    EXPECT_EQ(j["exit_code"], 0);
    EXPECT_EQ(j["com"], 2);
    EXPECT_EQ(j["device"], device);
    EXPECT_EQ(j["kind"], "generator");
    EXPECT_EQ(j["counts"]["blocks"], 12);
    EXPECT_GT(j["counts"]["bytes_sent"].get<int>(), 12 * 270);
    EXPECT_GT(j["duration_ms"].get<int>(), 200);  // the search's own 200 ms at least
    EXPECT_TRUE(Contains(j["message"], "on COM2 (" + device + "): done, 12 blocks acknowledged")) << j;
    const auto lines = ProgressLines(r.err);
    ASSERT_GE(lines.size(), 4u) << r.err;
    EXPECT_EQ(lines.front()["event"], "begin");
    EXPECT_EQ(lines.back()["event"], "end");
    EXPECT_EQ(lines.back()["done"], 12);
    EXPECT_EQ(lines.back()["unit"], "blocks");
    bool searching = false, writing = false;
    for (const auto& l : lines) {
        searching |= l["stage"] == "searching";
        writing |= l["stage"] == "writing";
        EXPECT_TRUE(l.contains("rate") && l.contains("total")) << l;
    }
    EXPECT_TRUE(searching && writing) << r.err;

    // Each command: its result and exit code in the object.
    const std::vector<std::pair<std::vector<std::string>, std::pair<std::string, int>>> runs = {
        {{"search"}, {"done", 0}},
        {{"mcu", "generator"}, {"done", 0}},
        {{"input-board", "2", dir / "board.bin"}, {"done", 0}},
        {{"search", "--kind", "analyzer"}, {"failed", 1}},
        {{"sub-mcu", "4"}, {"failed", 1}},                 // no outside tool here
        {{"analyzer-data", dir / "board.bin"}, {"failed", 1}},
        {{"pattern", "--slot", "1", dir / "fpga-aux.bin"}, {"failed", 1}},  // not a BMP
        {{"ports"}, {"done", 0}},
        {{"pattern", "--slot", "9", "x.bmp"}, {"failed", 2}},
    };
    for (const auto& [args, expected] : runs) {
        std::vector<std::string> a = args;
        a.push_back("--json");
        r = Cli(a, 2);
        j = FinalObject(r);
        EXPECT_EQ(j["result"], expected.first) << args[0] << "\n" << Describe(r);
        EXPECT_EQ(j["exit_code"], expected.second) << args[0];
        EXPECT_EQ(r.code, expected.second) << args[0];
        EXPECT_FALSE(j["message"].get<std::string>().empty()) << args[0];
    }
    EXPECT_TRUE(StopSim().violations.empty());
}

TEST_F(CliFixture, JsonTellsTimeOutsAndInterruptions) {
    WriteFile(dir / "fpga-aux.bin", RandomBytes(40 * 256, 44));
    sim::Options o;
    o.stopAfterBlocks = 5;
    StartSim(o);
    RunResult r = Cli({"--json", "--timeout", "1", "fpga", "aux", dir / "fpga-aux.bin"});
    EXPECT_EQ(r.code, 3) << Describe(r);
    nlohmann::json j = FinalObject(r);
    EXPECT_EQ(j["result"], "timed out");
    EXPECT_EQ(j["counts"]["blocks"], 5);
    EXPECT_TRUE(Contains(j["message"], "time-out")) << j;
    // SIGTERM while the instrument stalls: the port is closed, the command
    // ends "interrupted", with 128 + 15.
    const std::string cli = QUILLET_CLI_PATH;
    r = RunProgram("/bin/bash", {"-c", cli + " --ports " + device + " --json --timeout 60 fpga aux " +
                                           (dir / "fpga-aux.bin") + " & sleep 1.5; kill -TERM $!; wait $!"});
    EXPECT_EQ(r.code, 143) << Describe(r);
    j = FinalObject(r);
    EXPECT_EQ(j["result"], "interrupted");
    EXPECT_EQ(j["exit_code"], 143);
    EXPECT_LT(r.seconds, 10);
}

// ---- FPGA and analyzer data ------------------------------------------------------------

TEST_F(CliFixture, GeneratorFpgaImageFromTheDataFolder) {
    const auto image = RandomBytes(1000, 11);
    WriteFile(dir / "data/GENERATOR_FPGA.bin", image);
    StartSim();
    const RunResult r = Cli({"fpga", "generator"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "4 blocks acknowledged")) << r.out;
    StopSim();
    auto stored = ReadFile(dir / "sim/fpga.bin");
    ASSERT_GE(stored.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), stored.begin()));
}

TEST_F(CliFixture, DataFolderFromTheOptionOrTheEnvironment) {
    const auto image = RandomBytes(700, 14);
    WriteFile(dir / "images/GENERATOR_FPGA.bin", image);
    StartSim();
    RunResult r = Cli({"--data", dir / "images", "fpga", "generator"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "3 blocks acknowledged")) << r.out;
    ::setenv("QUILLET_DATA", (dir / "images").c_str(), 1);
    r = Cli({"fpga", "generator"});
    EXPECT_EQ(r.code, 0) << Describe(r);
    r = Cli({"--data", dir / "none", "fpga", "generator"});
    ::unsetenv("QUILLET_DATA");
    EXPECT_EQ(r.code, 2) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "the data folder " + (dir / "none") + " does not exist")) << r.err;
    StopSim();
    auto stored = ReadFile(dir / "sim/fpga.bin");
    ASSERT_GE(stored.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), stored.begin()));
}

TEST_F(CliFixture, MissingFpgaImageFails) {
    StartSim();
    const RunResult r = Cli({"fpga", "generator"});
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "GENERATOR_FPGA.bin")) << r.err;
}

TEST_F(CliFixture, AnalyzerDataFlash) {
    const auto data = RandomBytes(5000, 12);
    WriteFile(dir / "analyzer.bin", data);
    sim::Options o;
    o.kind = kGroupAnalyzer;
    StartSim(o);
    const RunResult r = Cli({"analyzer-data", dir / "analyzer.bin"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "20 blocks acknowledged")) << r.out;
    const sim::Summary s = StopSim();
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    auto stored = ReadFile(dir / "sim/analyzer_data.bin");
    ASSERT_GE(stored.size(), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), stored.begin()));
    EXPECT_TRUE(std::all_of(stored.begin() + static_cast<long>(data.size()), stored.end(),
                            [](std::uint8_t b) { return b == 0; }));
}

// ---- firmware ---------------------------------------------------------------------------

TEST_F(CliFixture, MainMcuUpdateWritesTheImagePaddedWithFF) {
    const auto image = RandomBytes(1000, 21);
    WriteFile(dir / "data/GENERATOR_MCU.bin", image);
    StartSim();
    const RunResult r = Cli({"mcu", "generator"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    const sim::Summary s = StopSim();
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    auto expected = image;
    expected.resize(1024, 0xFF);
    EXPECT_EQ(ReadFile(dir / "sim/mcu_flash.bin"), expected);
}

// --fast: the bytes the instrument receives are those of the flow's own
// pacing (search, boot-mode command, the whole exchange with its read-back).
TEST_F(CliFixture, FastMcuUpdateSendsTheSameBytesAsTheNormalOne) {
    const auto image = RandomBytes(1000, 23);
    WriteFile(dir / "data/GENERATOR_MCU.bin", image);
    auto expected = image;
    expected.resize(1024, 0xFF);
    std::vector<std::uint8_t> received[2];
    for (int fast = 0; fast < 2; ++fast) {
        StartSim();
        std::vector<std::string> args{"mcu", "generator", "--verify"};
        if (fast) args.push_back("--fast");
        const RunResult r = Cli(args);
        ASSERT_EQ(r.code, 0) << Describe(r);
        EXPECT_TRUE(Contains(r.out, "read back equal")) << r.out;
        received[fast] = simulator->Received();
        const sim::Summary s = StopSim();
        EXPECT_TRUE(s.violations.empty()) << s.violations.front();
        EXPECT_EQ(ReadFile(dir / "sim/mcu_flash.bin"), expected);
    }
    EXPECT_GT(received[0].size(), 1100u);
    EXPECT_TRUE(received[1] == received[0]) << received[0].size() << " bytes without --fast, "
                                            << received[1].size() << " with";
}

// --fast ends at the first refusal or silence, with the failure note
// naming the piece: exit 1 for a NACK, 3 for a bootloader that stopped
// answering.
TEST_F(CliFixture, FastMcuUpdateEndsOnANackOrASilentBootloader) {
    WriteFile(dir / "data/GENERATOR_MCU.bin", RandomBytes(1000, 24));
    sim::Options refusing;
    refusing.nackWrites = {3};  // the fourth piece, at 0x08000180
    StartSim(refusing);
    RunResult r = Cli({"--timeout", "2", "mcu", "generator", "--fast"});
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "did not acknowledge the write at 0x08000180")) << r.err;
    StopSim();

    sim::Options silent;
    // Search, boot-mode command, the queries and the erase (49 bytes), two
    // pieces of 137; silent in the middle of the third piece's data.
    silent.silentAfterBytes = 400;
    StartSim(silent);
    r = Cli({"--timeout", "2", "mcu", "generator", "--fast"});
    EXPECT_EQ(r.code, 3) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "did not acknowledge the write at 0x08000100")) << r.err;
    EXPECT_LT(r.seconds, 10);
}

// The analyzer's MCU has no direct way back into its bootloader: a failed
// update advises the analyzer's own words, not the generator's --direct.
TEST_F(CliFixture, FailedAnalyzerMcuUpdateAdvisesTheAnalyzersWayBack) {
    WriteFile(dir / "data/ANALYZER_MCU.bin", RandomBytes(1000, 26));
    sim::Options refusing;
    refusing.kind = kGroupAnalyzer;
    refusing.nackWrites = {3};
    StartSim(refusing);
    const RunResult r = Cli({"--timeout", "2", "mcu", "analyzer", "--fast"});
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "run quillet-cli mcu analyzer again")) << r.err;
    EXPECT_FALSE(Contains(r.err, "generator --direct")) << r.err;
    // Said once: the failure is not also a box of its own.
    EXPECT_EQ(r.err.find("did not acknowledge"), r.err.rfind("did not acknowledge")) << r.err;
}

// A bootloader that falls silent in the middle of the image ends the normal
// update within --timeout: exit 3, the first piece not acknowledged named,
// and the progress never at 100 %.
TEST_F(CliFixture, SilentBootloaderEndsTheUpdateWithinTheTimeout) {
    WriteFile(dir / "data/GENERATOR_MCU.bin", RandomBytes(128 * 200, 25));  // 16 s written blind
    sim::Options silent;
    silent.silentAfterBytes = 400;  // in the third piece's data
    StartSim(silent);
    const RunResult r = Cli({"--timeout", "2", "mcu", "generator"});
    EXPECT_EQ(r.code, 3) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "has sent nothing for 2 s")) << r.err;
    EXPECT_TRUE(Contains(r.err, "did not acknowledge the write at 0x08000100")) << r.err;
    EXPECT_FALSE(Contains(r.out + r.err, "100 %")) << r.out << r.err;
    // Search, boot mode and the wait after the erase take 3.4 s; then the
    // time-out and a second.
    EXPECT_LT(r.seconds, 3.4 + 2 + 1);
}

// An MCU already in its bootloader does not answer a search: --direct opens
// the first port of the map and goes straight to the bootloader exchange.
TEST(CliSimProgram, DirectMcuUpdateWithReadBack) {
    TempDir dir;
    const auto image = RandomBytes(640, 22);
    WriteFile(dir / "data/GENERATOR_MCU.bin", image);
    SimProgram sim({"--boot", "--out", dir / "sim"});
    ASSERT_FALSE(sim.Device().empty());
    const RunResult r = RunCli({"--ports", sim.Device(), "mcu", "generator", "--direct", "--verify"},
                               dir.Path());
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "read back equal")) << r.out;
    sim.Stop();
    EXPECT_EQ(ReadFile(dir / "sim/mcu_flash.bin"), image);
}

TEST_F(CliFixture, MainMcuUpdateWithoutImageFails) {
    StartSim();
    const RunResult r = Cli({"--timeout", "3", "mcu", "generator"});
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "GENERATOR_MCU.bin")) << r.err;
}

TEST_F(CliFixture, InputBoardUpdateDeliversTheFile) {
    const auto firmware = RandomBytes(10000, 31);
    WriteFile(dir / "board.bin", firmware);
    StartSim();
    const RunResult r = Cli({"input-board", "2", dir / "board.bin"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "10000 bytes sent")) << r.out;
    const sim::Summary s = StopSim();
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    EXPECT_EQ(s.chunkFrames, 3u);
    EXPECT_EQ(ReadFile(dir / "sim/input_board2.bin"), firmware);
}

TEST_F(CliFixture, SubMcuEntryHandsThePortToTheOutsideTool) {
    // A stand-in for the outside tool that notes it was started, and where.
    const std::string tool = dir / "FlyMcu/FlyMcu.exe";
    std::filesystem::create_directories(dir / "FlyMcu");
    {
        std::ofstream t(tool);
        t << "#!/bin/sh\npwd > \"" << dir / "tool-started" << "\"\n";
    }
    chmod(tool.c_str(), 0755);
    StartSim();
    const RunResult r = Cli({"sub-mcu", "3"}, 4);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "COM4 given up")) << r.out;
    const std::string command = "\r\nUBP 32 2  3\r\n";
    EXPECT_EQ(CountOf(simulator->Received(), std::vector<std::uint8_t>(command.begin(), command.end())), 1u);
    // The shell makes the file before pwd has written its line.
    ASSERT_TRUE(WaitFor([&] { const auto w = ReadFile(dir / "tool-started"); return !w.empty() && w.back() == '\n'; }, 5));
    const auto where = ReadFile(dir / "tool-started");
    EXPECT_EQ(std::string(where.begin(), where.end()), std::filesystem::canonical(dir.Path()).string() + "\n");
}

TEST_F(CliFixture, SubMcuWithoutTheToolFails) {
    StartSim();
    const RunResult r = Cli({"sub-mcu", "10"});
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "FlyMcu")) << r.err;
}

} // namespace
} // namespace quillet::test
