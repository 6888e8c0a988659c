// What a Windows user meets beyond the flows, under wine: COM ports
// written as Windows writes them, Ctrl+C during an upload (a console
// event), and quillet.exe's --version and --help.
#include "WineSupport.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace quillet::test {
namespace {

// The process `parent` started (the program under wine below the time
// limit of wine-run.sh, which would pass a signal on twice); 0 when none.
int ChildOf(int parent) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // pid (name) state ppid ...: the name may hold blanks, not ')'.
        std::istringstream rest(line.substr(line.rfind(')') + 1));
        std::string state;
        int ppid = 0;
        if (rest >> state >> ppid && ppid == parent) return std::stoi(name);
    }
    return 0;
}

// -p COM7 is the system's COM7 (not the first port of a map holding
// "COM7"), and --ports items COMn likewise, also from COM10 on without the
// \\.\ prefix; only those ports are tried.
TEST_F(WineFixture, ComPortsAsWindowsWritesThem) {
    StartSim();
    MapPorts({"", "", "", "", "", "", Sim()});
    RunResult r = Cli({"-v", "-p", "COM7", "search"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Found the signal generator on COM7")) << r.out;
    EXPECT_FALSE(Contains(r.err, "COM1 could not be opened")) << r.err;

    std::vector<std::string> twelve(12);
    twelve[11] = Sim();
    MapPorts(twelve);
    r = Cli({"-v", "--ports", "COM3,com12", "search"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Found the signal generator on COM12")) << r.out;
    EXPECT_TRUE(Contains(r.err, "COM3  COM3 could not be opened: no such device")) << r.err;
    EXPECT_EQ(StopSim().searchFrames, 2u);

    r = Cli({"--ports", "COM3,COM12", "ports"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "COM3  COM3")) << r.out;
    EXPECT_TRUE(Contains(r.out, "COM12  \\\\.\\COM12")) << r.out;
    EXPECT_FALSE(Contains(r.out, "COM1 ")) << r.out;
}

// Ctrl+C reaches the program as a console event: the upload stops, the
// port is closed, the message says how far it came and what the
// instrument holds, exit 130.
TEST_F(WineFixture, CtrlCStopsAnUploadCleanly) {
    WriteFile(dir / "fpga-aux.bin", RandomBytes(3000 * 256, 41));
    sim::Options o;
    o.stopAfterBlocks = 200;
    StartSim(o);
    MapPorts({Sim()});
    std::thread press;
    const RunResult r =
        RunProgram("/usr/bin/env",
                   {"LD_PRELOAD=" + std::string(QUILLET_MODEMLINES_LIB), "QUILLET_WINE_TIMEOUT=200", Wine().run,
                    Wine().prefix, Wine().build + "/cli/quillet-cli.exe", "--timeout", "120", "fpga", "aux",
                    "fpga-aux.bin"},
                   dir.Path(), 200, false, -1, [&](int pid) {
                       press = std::thread([this, pid] {
                           WaitFor([this] { return simulator->GetSummary().blocksReceived > 200; }, 150);
                           // As a console sends Ctrl+C: once, to the program.
                           const int program = ChildOf(pid);
                           ::kill(program ? program : pid, SIGINT);
                       });
                   });
    press.join();
    EXPECT_EQ(r.code, 130) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "quillet-cli: interrupted: the AUX FPGA image upload stopped after 200 of 3,000 "
                                "blocks"))
        << r.err;
    EXPECT_TRUE(Contains(r.err, "the FPGA flash holds a partial image")) << r.err;
}

// The console events beyond Ctrl+C, delivered as Windows' console host
// delivers them (console_event_driver.exe starts quillet-cli.exe and, once
// the test says so, runs kernel32's CtrlRoutine with the event in it;
// wine's own console passes on Ctrl+C alone): the upload stops as for
// Ctrl+C, with the exit code README and the man page give. For closing the
// console, logging off and shutting down, Windows ends the program a few
// seconds after the event: the flow has stopped, the port is closed and
// the --log trace written out, and the program has ended by itself before.
struct ConsoleEventCase {
    const char* word;     // console_event_driver's name of the event
    const char* told;     // what the driver says it delivered
    const char* by;       // what quillet-cli names as the cause
    int code;
};

std::ostream& operator<<(std::ostream& out, const ConsoleEventCase& c) { return out << c.word; }

class WineConsoleEvent : public WineFixture, public ::testing::WithParamInterface<ConsoleEventCase> {
protected:
    static constexpr const char* kStopped = ": the AUX FPGA image upload stopped after 200 of 3,000 blocks";
};

TEST_P(WineConsoleEvent, StopsAnUploadCleanly) {
    const ConsoleEventCase& event = GetParam();
    WriteFile(dir / "fpga-aux.bin", RandomBytes(3000 * 256, 43));
    sim::Options o;
    o.stopAfterBlocks = 200;
    StartSim(o);
    MapPorts({Sim()});
    std::thread press([this] {
        WaitFor([this] { return simulator->GetSummary().blocksReceived > 200; }, 150);
        WriteFile(dir / "press", {});
    });
    const RunResult r =
        Run("tests/console_event_driver.exe",
            {event.word, "press", Wine().build + "/cli/quillet-cli.exe", "--timeout", "120", "-v", "--log",
             "trace.log", "fpga", "aux", "fpga-aux.bin"},
            200);
    press.join();
    EXPECT_EQ(r.code, event.code) << Describe(r);
    EXPECT_TRUE(Contains(r.out, std::string("driver: ") + event.told + " delivered")) << r.out;
    EXPECT_TRUE(Contains(r.err, std::string("quillet-cli: interrupted by ") + event.by + kStopped)) << r.err;
    EXPECT_TRUE(Contains(r.err, "the FPGA flash holds a partial image")) << r.err;

    // The trace is there to its end: the port closed, then the message,
    // its line whole (Windows' line ends, as the file is a text file).
    const std::vector<std::uint8_t> bytes = ReadFile(dir / "trace.log");
    const std::string log(bytes.begin(), bytes.end());
    const std::string tail = log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), '\n') << tail;
    const std::size_t lastLine = log.rfind('\n', log.size() - 2);
    const std::string last = log.substr(lastLine == std::string::npos ? 0 : lastLine + 1);
    EXPECT_TRUE(Contains(log, "  COM1  closed\r\n")) << tail;
    EXPECT_TRUE(Contains(last, std::string("  quillet-cli: interrupted by ") + event.by + kStopped)) << tail;
    EXPECT_TRUE(Contains(last, "the FPGA flash holds a partial image: write it again before the instrument is "
                               "restarted\r\n"))
        << tail;

    // The port was given back: the next run opens it.
    const RunResult again = Cli({"search"});
    EXPECT_EQ(again.code, 0) << Describe(again);
}

INSTANTIATE_TEST_SUITE_P(
    Events, WineConsoleEvent,
    ::testing::Values(ConsoleEventCase{"break", "Ctrl+Break", "Ctrl+Break", 130},
                      ConsoleEventCase{"close", "closing the console", "closing the console window", 129},
                      ConsoleEventCase{"logoff", "logging off", "logging off", 143},
                      ConsoleEventCase{"shutdown", "shutting down", "shutting down Windows", 143}),
    [](const ::testing::TestParamInfo<ConsoleEventCase>& info) { return std::string(info.param.word); });

// quillet.exe has no console of its own: --version and --help print to
// the one it was started from and end with 0.
TEST_F(WineFixture, DialogProgramTellsItsVersionAndHelp) {
    const RunResult cli = Cli({"--version"});
    ASSERT_EQ(cli.code, 0) << Describe(cli);
    ASSERT_EQ(cli.out.rfind("quillet-cli ", 0), 0u) << cli.out;
    RunResult r = Run("win/quillet.exe", {"--version"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    // The same release as the command line's (the git part may differ when
    // only one of them was rebuilt).
    const std::string release = cli.out.substr(12, cli.out.find_first_of(" \r\n", 12) - 12);
    EXPECT_EQ(r.out.rfind("quillet " + release, 0), 0u) << r.out << " against " << cli.out;
    r = Run("win/quillet.exe", {"--help"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "--version")) << r.out;
    EXPECT_TRUE(Contains(r.out, "--demo")) << r.out;
    r = Run("win/quillet.exe", {"--no-such-option"});
    EXPECT_EQ(r.code, 2) << Describe(r);
}

} // namespace
} // namespace quillet::test
