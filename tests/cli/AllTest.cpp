// quillet-cli --all and --watch end to end: several simulated instruments
// on pseudo-terminals (quillet-sim --count N, or simulators in this
// process), the command line as a child process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <memory>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/CliSupport.h"
#include "sim/lib/Simulator.h"

namespace quillet::test {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Describe(const RunResult& r) {
    return "exit " + std::to_string(r.code) + (r.timedOut ? " (killed)" : "") + "\nstdout:\n" + r.out +
           "\nstderr:\n" + r.err.substr(0, 6000);
}

// The summary's row of `port`: "COM3   /dev/pts/5  done ...".
std::string SummaryRow(const std::string& out, const std::string& port) {
    const std::size_t at = out.rfind("\n" + port + " ");
    if (at == std::string::npos) return {};
    return out.substr(at + 1, out.find('\n', at + 1) - at - 1);
}

TEST(CliAll, EveryGeneratorGetsThePatternPixelForPixel) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    TempDir dir;
    const std::string image = dir / "pattern.bmp";
    ASSERT_TRUE(PillowRandomBmp(image, 1920, 1080, 11));
    SimProgram sim({"--count", "4", "--out", dir / "sim", "--erase-ms", "100", "--delay", "0"}, 4);
    ASSERT_EQ(sim.Devices().size(), 4u);
    // COM1 is absent; the generators are COM2 to COM5.
    const RunResult r = RunCli({"--ports", "," + sim.PortList(), "pattern", "--slot", "2", "--all", image},
                               dir.Path(), 240);
    ASSERT_EQ(r.code, 0) << Describe(r);
    for (int com = 2; com <= 5; ++com) {
        const std::string row = SummaryRow(r.out, "COM" + std::to_string(com));
        EXPECT_TRUE(Contains(row, "done") && Contains(row, "24300 blocks acknowledged")) << r.out;
        // Off a terminal every line of an instrument names its port.
        EXPECT_TRUE(Contains(r.err, "COM" + std::to_string(com) + ": progress  50.0%")) << r.err.substr(0, 3000);
    }
    EXPECT_TRUE(Contains(r.out, "4 instruments: 4 done")) << r.out;
    sim.Stop();
    const auto expected = ReadFile(image + ".rgb");
    ASSERT_EQ(expected.size(), 1920u * 1080u * 3u);
    for (int k = 1; k <= 4; ++k) {
        const std::string stored = dir / ("sim/" + std::to_string(k) + "/pattern_slot2.bmp");
        ASSERT_TRUE(PillowDecodeRgb(stored, dir / "stored.rgb")) << stored;
        EXPECT_TRUE(ReadFile(dir / "stored.rgb") == expected) << "instrument " << k << " stored another image";
    }
}

// One instrument stalls after 100 blocks, another is unplugged after 1,000:
// the two others finish, the summary names each outcome, the exit code is
// the worst (3, timed out).
TEST(CliAll, AStalledAndAnUnpluggedInstrumentDoNotStopTheOthers) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    TempDir dir;
    const std::string image = dir / "pattern.bmp";
    ASSERT_TRUE(PillowRandomBmp(image, 1920, 1080, 12));
    // Instrument 3 receives the search frame, the slot command and 1,000 blocks.
    const std::string unplugAt = std::to_string(10 + 28 + 1000 * 270);
    SimProgram sim({"--count", "4", "--out", dir / "sim", "--erase-ms", "100", "--delay", "0", "--instrument", "2",
                    "--stop-after", "100", "--instrument", "3", "--unplug-after", unplugAt},
                   4);
    ASSERT_EQ(sim.Devices().size(), 4u);
    // The stalled one ends after --timeout; the others' blocks, the last one
    // too (acknowledged once the simulator has stored the image), come well
    // within it even under a sanitizer on a loaded machine.
    const RunResult r = RunCli({"--ports", sim.PortList(), "--timeout", "10", "pattern", "--slot", "2", "--all", image},
                               dir.Path(), 300);
    EXPECT_EQ(r.code, 3) << Describe(r);
    EXPECT_TRUE(Contains(SummaryRow(r.out, "COM1"), "done")) << r.out;
    EXPECT_TRUE(Contains(SummaryRow(r.out, "COM2"), "timed out")) << r.out;
    EXPECT_TRUE(Contains(SummaryRow(r.out, "COM2"), "100 blocks acknowledged")) << r.out;
    EXPECT_TRUE(Contains(SummaryRow(r.out, "COM3"), "failed")) << r.out;
    EXPECT_TRUE(Contains(SummaryRow(r.out, "COM4"), "done")) << r.out;
    EXPECT_TRUE(Contains(r.out, "4 instruments: 2 done, 1 failed, 1 timed out")) << r.out;
    EXPECT_TRUE(Contains(r.err, "COM3: ")) << r.err.substr(0, 3000);
    sim.Stop();
    const auto expected = ReadFile(image + ".rgb");
    for (int k : {1, 4}) {
        const std::string stored = dir / ("sim/" + std::to_string(k) + "/pattern_slot2.bmp");
        ASSERT_TRUE(PillowDecodeRgb(stored, dir / "stored.rgb")) << stored;
        EXPECT_TRUE(ReadFile(dir / "stored.rgb") == expected) << "instrument " << k << " stored another image";
    }
}

TEST(CliAll, NoInstrumentOnAnyPortGivesTheNotFoundMessage) {
    TempDir dir;
    SimProgram sim({"--count", "2", "--silent", "--out", dir / "sim"}, 2);
    for (const bool json : {false, true}) {
        std::vector<std::string> args{"--ports", sim.PortList(), "search", "--all"};
        if (json) args.push_back("--json");
        const RunResult r = RunCli(args, dir.Path(), 30);
        EXPECT_EQ(r.code, 1) << Describe(r);
        EXPECT_TRUE(Contains(r.err, "Can not find available device for this console(from com1 to com99)")) << r.err;
        if (!json) {
            // The summary names both ports.
            EXPECT_TRUE(Contains(r.out, "ports without an instrument served: no answer: COM1, COM2")) << r.out;
            continue;
        }
        // An object for each port, then the one of the search.
        std::vector<nlohmann::json> objects;
        for (std::size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
            objects.push_back(nlohmann::json::parse(r.out.substr(at, end - at), nullptr, false));
        ASSERT_EQ(objects.size(), 3u) << r.out;
        for (int k = 0; k < 2; ++k) EXPECT_EQ(objects[k]["port_state"], "no answer") << r.out;
        const auto& j = objects.back();
        ASSERT_FALSE(j.is_discarded()) << r.out;
        EXPECT_EQ(j["result"], "failed");
        EXPECT_EQ(j["exit_code"], 1);
    }
}

// --json: the progress objects name their port, and each instrument has its
// own final object; a port where nothing answers has one that says so.
TEST(CliAll, JsonGivesEachInstrumentItsFinalObject) {
    TempDir dir;
    WriteFile(dir / "data/GENERATOR_FPGA.bin", RandomBytes(20 * 256 + 17, 5));
    SimProgram sim({"--count", "3", "--out", dir / "sim", "--delay", "0", "--instrument", "2", "--silent"}, 3);
    const RunResult r =
        RunCli({"--ports", sim.PortList(), "fpga", "generator", "--all", "--json"}, dir.Path(), 60);
    ASSERT_EQ(r.code, 0) << Describe(r);
    std::set<int> coms;
    std::size_t objects = 0;
    for (std::size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1) {
        const auto j = nlohmann::json::parse(r.out.substr(at, end - at), nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << r.out;
        ++objects;
        if (j["com"] == 2) {
            EXPECT_EQ(j["port_state"], "no answer");
            EXPECT_EQ(j["result"], "not served");
            continue;
        }
        coms.insert(j["com"].get<int>());
        EXPECT_EQ(j["port_state"], "served");
        EXPECT_EQ(j["result"], "done");
        EXPECT_EQ(j["counts"]["blocks"], 21);
        // What the command was given, as for one instrument.
        ASSERT_TRUE(j["file"].is_string()) << j.dump();
        EXPECT_TRUE(Contains(j["file"].get<std::string>(), "GENERATOR_FPGA.bin")) << j.dump();
        ASSERT_TRUE(j["sha256"].is_string()) << j.dump();
        EXPECT_EQ(j["sha256"].get<std::string>().size(), 64u);
    }
    EXPECT_EQ(objects, 3u);
    // stderr carries JSON lines only.
    for (std::size_t at = 0, end; (end = r.err.find('\n', at)) != std::string::npos; at = end + 1)
        EXPECT_FALSE(nlohmann::json::parse(r.err.substr(at, end - at), nullptr, false).is_discarded())
            << r.err.substr(at, end - at);
    EXPECT_EQ(coms, (std::set<int>{1, 3}));
    EXPECT_TRUE(Contains(r.err, "{\"com\":3,\"device\":\"" + sim.Devices()[2] + "\",\"event\":\"end\"")) << r.err;
    EXPECT_FALSE(Contains(r.err, "\"com\":2,")) << r.err;
}

// On a terminal: a line per instrument, redrawn in place.
TEST(CliAll, TerminalShowsALinePerInstrumentRedrawnInPlace) {
    TempDir dir;
    WriteFile(dir / "data/GENERATOR_FPGA.bin", RandomBytes(200 * 256, 6));
    SimProgram sim({"--count", "2", "--out", dir / "sim", "--delay", "0"}, 2);
    const RunResult r =
        RunCli({"--ports", sim.PortList(), "fpga", "generator", "--all"}, dir.Path(), 60, true);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "\033[2A\r\033[J")) << r.err.substr(0, 2000);
    // Both lines end as done, then the summary.
    const std::size_t last = r.err.rfind("\033[J");
    ASSERT_NE(last, std::string::npos);
    const std::string view = r.err.substr(last);
    for (int k = 0; k < 2; ++k) {
        const std::string row = "COM" + std::to_string(k + 1) + "  " + sim.Devices()[k];
        ASSERT_TRUE(Contains(view, row)) << view;
        EXPECT_TRUE(Contains(view.substr(view.find(row)), "done  ")) << view;
    }
    EXPECT_TRUE(Contains(r.out, "2 instruments: 2 done")) << r.out;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
    return n;
}

// --watch: an entry of an explicit map that does not exist yet is served
// once its device appears, again only after it went away and came back,
// and Ctrl+C stops a run under way cleanly after telling it.
TEST(CliAll, WatchServesAnInstrumentThatAppearsOnceUntilItComesBack) {
    using namespace std::chrono_literals;
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    TempDir dir;
    const std::string image = dir / "panel.bmp";
    ASSERT_TRUE(PillowRandomBmp(image, 240, 160, 8));
    sim::Options o;
    o.searchReplyDelayMs = 0;
    o.outputDir = dir / "sim";
    std::filesystem::create_directories(o.outputDir);
    sim::Simulator a(o);
    const std::string pty = a.OpenPty();
    ASSERT_FALSE(pty.empty());
    a.Start();
    const std::string port = dir / "later";
    const auto plug = [&](const std::string& target) { ASSERT_EQ(::symlink(target.c_str(), port.c_str()), 0); };
    const auto unplug = [&] {
        ::unlink(port.c_str());
        std::this_thread::sleep_for(800ms);  // the watch looks every 250 ms
    };

    CliProgram cli({"--ports", port, "panel", "--slot", "1", "--all", "--watch", image}, dir.Path());
    ASSERT_TRUE(cli.WaitForOutput([&] { return Contains(cli.Err(), "watching"); }, 10)) << cli.Err();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(a.GetSummary().bytesReceived, 0u);
    plug(pty);
    const std::string done = ": done, 300 blocks acknowledged";
    ASSERT_TRUE(cli.WaitForOutput([&] { return Count(cli.Out(), done) == 1; }, 30)) << cli.Out() << cli.Err();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(a.GetSummary().searchFrames, 1u) << "served again while it stayed";

    unplug();
    plug(pty);
    ASSERT_TRUE(cli.WaitForOutput([&] { return Count(cli.Out(), done) == 2; }, 30)) << cli.Out() << cli.Err();
    EXPECT_EQ(a.GetSummary().searchFrames, 2u);
    EXPECT_EQ(a.GetSummary().blocksAccepted, 600u);

    // Another instrument there, on a line as slow as a real one: its run is
    // under way when Ctrl+C comes.
    sim::Options paced = o;
    paced.baud = 115200;
    paced.outputDir = dir / "paced";
    std::filesystem::create_directories(paced.outputDir);
    sim::Simulator b(paced);
    const std::string slow = b.OpenPty();
    b.Start();
    unplug();
    plug(slow);
    ASSERT_TRUE(WaitFor([&] { return b.GetSummary().blocksAccepted >= 10; }, 20));
    cli.Signal(SIGINT);
    const RunResult r = cli.Wait(20);
    EXPECT_EQ(r.code, 130) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "still running: COM1 (" + port + ")")) << r.err.substr(0, 3000);
    EXPECT_TRUE(Contains(SummaryRow(r.out, "COM1"), "interrupted")) << r.out;
    EXPECT_TRUE(Contains(r.out, "3 instruments: 2 done, 1 interrupted")) << r.out;
    b.Stop();
    EXPECT_LT(b.GetSummary().blocksAccepted, 300u);
    ::unlink(port.c_str());
}

// ---- every port accounted for ---------------------------------------------------------

// A device held open (and locked) as another program holds it.
class HeldPort {
public:
    explicit HeldPort(const std::string& device) : m_fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        if (m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) != 0) Release();
    }
    ~HeldPort() { Release(); }
    bool Held() const { return m_fd >= 0; }
    void Release() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// The COM numbers whose summary row has `result` in its result column.
std::set<int> RowsWith(const std::string& out, const std::string& result) {
    std::set<int> coms;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        int com = 0, used = 0;
        if (std::sscanf(line.c_str(), "COM%d%n", &com, &used) != 1 || line.compare(used, 2, "  ") != 0) continue;
        const std::string cell = "  " + result;
        const std::size_t at = line.find(cell + " ");
        const bool last = line.size() >= cell.size() && line.compare(line.size() - cell.size(), cell.size(), cell) == 0;
        if (at != std::string::npos || last) coms.insert(com);
    }
    return coms;
}

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> objects;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        objects.push_back(nlohmann::json::parse(text.substr(at, end - at), nullptr, false));
    return objects;
}

// Served, no instrument, no answer and busy, each in the summary, the live
// lines and the JSON objects; a busy port (an instrument hidden behind
// another program) fails the run, and so does --expect with fewer served.
TEST(CliAll, EveryPortOfTheMapIsAccountedFor) {
    TempDir dir;
    WriteFile(dir / "data/GENERATOR_FPGA.bin", RandomBytes(20 * 256, 7));
    SimProgram sim({"--count", "3", "--out", dir / "sim", "--delay", "0", "--instrument", "2", "--silent"}, 3);
    ASSERT_EQ(sim.Devices().size(), 3u);
    const auto& dev = sim.Devices();
    const std::string ports = dev[0] + "," + (dir / "absent") + "," + dev[1] + "," + dev[2];
    HeldPort held(dev[2]);
    ASSERT_TRUE(held.Held());

    RunResult r = RunCli({"--ports", ports, "fpga", "generator", "--all"}, dir.Path(), 60);
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_EQ(RowsWith(r.out, "done"), std::set<int>{1}) << r.out;
    EXPECT_TRUE(Contains(SummaryRow(r.out, "COM3"), "no answer")) << r.out;
    EXPECT_TRUE(Contains(SummaryRow(r.out, "COM4"), "busy")) << r.out;
    EXPECT_TRUE(Contains(r.out, "ports without an instrument served: no instrument: COM2; busy: COM4; no answer: COM3"))
        << r.out;
    EXPECT_TRUE(Contains(r.err, "COM4: " + dev[2] + " could not be opened: it is busy")) << r.err;
    EXPECT_TRUE(Contains(r.err, "not every instrument may have been served: COM4 was busy or refused")) << r.err;

    r = RunCli({"--ports", ports, "fpga", "generator", "--all", "--json"}, dir.Path(), 60);
    EXPECT_EQ(r.code, 1) << Describe(r);
    std::map<int, std::string> states;
    for (const auto& j : JsonLines(r.out)) {
        ASSERT_FALSE(j.is_discarded()) << r.out;
        states[j["com"].get<int>()] = j["port_state"].get<std::string>();
    }
    EXPECT_EQ(states, (std::map<int, std::string>{
                          {1, "served"}, {2, "no instrument"}, {3, "no answer"}, {4, "busy"}}))
        << r.out;

    // Given back: both instruments are served, and --expect counts them.
    held.Release();
    r = RunCli({"--ports", ports, "fpga", "generator", "--all", "--expect", "2"}, dir.Path(), 60);
    EXPECT_EQ(r.code, 0) << Describe(r);
    EXPECT_EQ(RowsWith(r.out, "done"), (std::set<int>{1, 4})) << r.out;
    r = RunCli({"--ports", ports, "fpga", "generator", "--all", "--expect", "3"}, dir.Path(), 60);
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "2 instruments were served, 3 expected (--expect)")) << r.err;
    EXPECT_EQ(RunCli({"--ports", ports, "fpga", "generator", "--expect", "1"}, dir.Path(), 20).code, 2);
}

// A port the operator may not open is named as refused and fails the run.
TEST(CliAll, APortRefusedForPermissionIsNamed) {
    constexpr int kNobody = 65534;
    SimProgram sim({"--count", "2", "--delay", "0", "--out", "/tmp"}, 2);
    ASSERT_EQ(sim.Devices().size(), 2u);
    ::chmod(sim.Devices()[0].c_str(), 0666);
    ::chmod(sim.Devices()[1].c_str(), 0);
    const int user = ::geteuid() == 0 ? kNobody : -1;
    const RunResult r = RunProgram(QUILLET_CLI_PATH, {"--ports", sim.PortList(), "search", "--all"}, "/tmp", 30,
                                   false, user);
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_EQ(RowsWith(r.out, "done"), std::set<int>{1}) << r.out;
    EXPECT_TRUE(Contains(SummaryRow(r.out, "COM2"), "permission refused")) << r.out;
    EXPECT_TRUE(Contains(r.err, "COM2 was busy or refused")) << r.err;
}

// Two runs started together on one line: each instrument is served by one
// of them, and the other names it as busy and fails.
TEST(CliAll, TwoRunsAtOnceEachNameTheInstrumentsTheyDidNotGet) {
    TempDir dir;
    // On a paced line each run takes about a second and a half.
    WriteFile(dir / "data/GENERATOR_FPGA.bin", RandomBytes(60 * 256, 8));
    SimProgram sim({"--count", "3", "--out", dir / "sim", "--delay", "0", "--baud", "115200"}, 3);
    ASSERT_EQ(sim.Devices().size(), 3u);
    const std::vector<std::string> args{"--ports", sim.PortList(), "fpga", "generator", "--all"};
    CliProgram first(args, dir.Path());
    CliProgram second(args, dir.Path());
    const RunResult a = first.Wait(60);
    const RunResult b = second.Wait(60);
    const std::set<int> all{1, 2, 3};
    std::set<int> served;
    for (const RunResult* r : {&a, &b}) {
        const std::set<int> done = RowsWith(r->out, "done");
        const std::set<int> busy = RowsWith(r->out, "busy");
        std::set<int> both = done;
        both.insert(busy.begin(), busy.end());
        EXPECT_EQ(both, all) << Describe(*r);
        EXPECT_EQ(r->code, busy.empty() ? 0 : 1) << Describe(*r);
        for (int com : busy) EXPECT_TRUE(Contains(r->err, "COM" + std::to_string(com) + ": ")) << r->err;
        for (int com : done) EXPECT_TRUE(served.insert(com).second) << "COM" << com << " served twice";
    }
    EXPECT_EQ(served, all) << Describe(a) << Describe(b);
}

// Every flow tells a port held by another program as busy, never as a
// silent instrument or bootloader.
TEST(CliAll, ABusyPortIsBusyInEveryFlow) {
    TempDir dir;
    WriteFile(dir / "data/GENERATOR_FPGA.bin", RandomBytes(20 * 256, 9));
    WriteFile(dir / "data/GENERATOR_MCU.bin", RandomBytes(4 * 128, 10));
    SimProgram sim({"--out", dir / "sim", "--delay", "0"});
    HeldPort held(sim.Device());
    ASSERT_TRUE(held.Held());
    const std::vector<std::vector<std::string>> flows{
        {"search"}, {"fpga", "generator"}, {"mcu", "generator"}, {"mcu", "generator", "--direct"}};
    for (const auto& flow : flows) {
        std::vector<std::string> args{"--ports", sim.Device(), "--timeout", "2", "--all"};
        args.insert(args.end(), flow.begin(), flow.end());
        const RunResult r = RunCli(args, dir.Path(), 30);
        EXPECT_EQ(r.code, 1) << flow[0] << " " << Describe(r);
        EXPECT_TRUE(Contains(SummaryRow(r.out, "COM1"), "busy")) << flow[0] << " " << r.out;
        EXPECT_TRUE(Contains(r.err, "COM1: " + sim.Device() + " could not be opened: it is busy")) << r.err;
        EXPECT_FALSE(Contains(r.err, "bootloader")) << r.err;
    }
}

// A file that cannot be used ends --all and --watch before any port is
// opened, with the words of the one-instrument command.
TEST(CliAll, TheFileIsRefusedBeforeAnySearch) {
    TempDir dir;
    sim::Options o;
    o.searchReplyDelayMs = 0;
    o.outputDir = dir / "sim";
    std::filesystem::create_directories(o.outputDir);
    sim::Simulator a(o);
    const std::string pty = a.OpenPty();
    ASSERT_FALSE(pty.empty());
    a.Start();
    std::filesystem::create_directories(dir / "folder.bmp");
    const std::vector<std::vector<std::string>> commands{
        {"pattern", "--slot", "1", "missing.bmp"}, {"panel", "--slot", "2", "folder.bmp"}, {"fpga", "generator"}};
    for (const auto& command : commands) {
        std::vector<std::string> one{"--ports", pty};
        one.insert(one.end(), command.begin(), command.end());
        const RunResult single = RunCli(one, dir.Path(), 20);
        ASSERT_EQ(single.code, 1) << Describe(single);
        const std::size_t at = single.err.find("quillet-cli: ");
        ASSERT_NE(at, std::string::npos) << single.err;
        const std::string line = single.err.substr(at, single.err.find('\n', at) - at);
        EXPECT_TRUE(Contains(line, "Nothing was sent.")) << line;
        for (const bool watch : {false, true}) {
            std::vector<std::string> args = one;
            args.push_back("--all");
            if (watch) args.push_back("--watch");
            const RunResult r = RunCli(args, dir.Path(), 20);
            EXPECT_EQ(r.code, 1) << Describe(r);
            EXPECT_EQ(r.err, line + "\n") << command[0] << (watch ? " --watch" : "");
        }
    }
    EXPECT_EQ(a.GetSummary().bytesReceived, 0u);
}

// A map of 10,000 entries: COM1 to COM99 are searched, the rest left out
// with one warning; the two instruments in it are served, and Ctrl+C ends
// a --watch on it with 130.
TEST(CliAll, AMapPastCom99IsCutWithOneWarning) {
    TempDir dir;
    WriteFile(dir / "data/GENERATOR_FPGA.bin", RandomBytes(20 * 256, 11));
    SimProgram sim({"--count", "3", "--out", dir / "sim", "--delay", "0"}, 3);
    ASSERT_EQ(sim.Devices().size(), 3u);
    std::string ports;
    for (int com = 1; com <= 10000; ++com) {
        const std::string device = com == 1    ? sim.Devices()[0]
                                   : com == 50 ? sim.Devices()[1]
                                   : com == 120 ? sim.Devices()[2]
                                                : "n" + std::to_string(com);  // short: one argument is at most 128 KiB
        ports += (com == 1 ? "" : ",") + device;
    }
    const RunResult r = RunCli({"--ports", ports, "fpga", "generator", "--all"}, dir.Path(), 120);
    EXPECT_EQ(r.code, 0) << Describe(r);
    EXPECT_EQ(Count(r.err, "9901 entries of the port map past COM99 left out"), 1u) << r.err.substr(0, 2000);
    EXPECT_EQ(RowsWith(r.out, "done"), (std::set<int>{1, 50})) << r.out;
    EXPECT_TRUE(Contains(r.out, "no instrument: COM2-COM49, COM51-COM99")) << r.out;
    EXPECT_FALSE(Contains(r.out + r.err, "COM100")) << r.err.substr(0, 2000);
    EXPECT_FALSE(Contains(r.out + r.err, "COM120")) << r.err.substr(0, 2000);
    std::printf("[ info     ] 10,000-entry map, two instruments: %.1f s\n", r.seconds);

    CliProgram watch({"--ports", ports, "fpga", "generator", "--all", "--watch"}, dir.Path());
    ASSERT_TRUE(watch.WaitForOutput([&] { return Count(watch.Out(), "done") >= 2; }, 60)) << watch.Err();
    watch.Signal(SIGINT);
    const RunResult w = watch.Wait(20);
    EXPECT_EQ(w.code, 130) << Describe(w);
}

// Ctrl+C while the ports beyond the 64 run at once still wait their turn:
// each of them has its row, as not searched, beside the 64 interrupted.
TEST(CliAll, PortsWaitingTheirTurnAtCtrlCAreNamedNotSearched) {
    TempDir dir;
    WriteFile(dir / "data/GENERATOR_MCU.bin", RandomBytes(4 * 128, 12));
    constexpr std::size_t kPorts = 70;
    // Generators that do not know the bootloader's sync: every --direct run
    // waits for it until Ctrl+C.
    SimProgram first({"--count", "64", "--out", dir / "sim"}, 64);
    SimProgram more({"--count", "6", "--out", dir / "more"}, 6);
    ASSERT_EQ(first.Devices().size() + more.Devices().size(), kPorts);
    // Both simulators' pseudo-terminals keep the bootloader's parity.
    setenv("QUILLET_SIM_PTYS", (first.PortList() + "," + more.PortList()).c_str(), 1);
    for (const bool json : {false, true}) {
        std::vector<std::string> args{"--ports", first.PortList() + "," + more.PortList(), "--timeout", "60", "mcu", "generator",
                                      "--direct", "--all"};
        if (json) args.push_back("--json");
        CliProgram cli(args, dir.Path());
        // Every run under way has put out its progress.
        ASSERT_TRUE(cli.WaitForOutput([&] { return Count(cli.Err(), json ? "\"com\":64" : "COM64") >= 1; }, 30))
            << cli.Err().substr(0, 3000);
        cli.Signal(SIGINT);
        const RunResult r = cli.Wait(30);
        EXPECT_EQ(r.code, 130) << Describe(r);
        if (!json) {
            EXPECT_TRUE(Contains(r.out, "64 instruments: 64 interrupted")) << r.out;
            EXPECT_EQ(RowsWith(r.out, "not searched"), (std::set<int>{65, 66, 67, 68, 69, 70})) << r.out;
            EXPECT_TRUE(Contains(r.out, "ports without an instrument served: not searched: COM65-COM70")) << r.out;
            continue;
        }
        std::map<int, std::string> states;
        for (const auto& j : JsonLines(r.out)) {
            ASSERT_FALSE(j.is_discarded()) << r.out;
            const int com = j["com"].get<int>();
            states[com] = j["port_state"].get<std::string>();
            if (com > 64) {
                EXPECT_TRUE(Contains(j["message"].get<std::string>(), "did not start: interrupted")) << j;
            }
        }
        ASSERT_EQ(states.size(), kPorts) << r.out;
        for (const auto& [com, state] : states) EXPECT_EQ(state, com <= 64 ? "served" : "not searched") << com;
    }
}

// --watch: an instrument re-plugged on the same node (a pseudo-terminal
// whose number is given out again) is served again, each exactly once.
TEST(CliAll, WatchServesEveryQuickReplugOnce) {
    using namespace std::chrono_literals;
    constexpr std::size_t kPlugs = 12;
    TempDir dir;
    const std::string port = dir / "line";
    std::filesystem::create_directories(dir / "sim");
    WriteFile(dir / "data/GENERATOR_FPGA.bin", RandomBytes(20 * 256, 12));
    CliProgram cli({"--ports", port, "fpga", "generator", "--all", "--watch"}, dir.Path());
    ASSERT_TRUE(cli.WaitForOutput([&] { return Contains(cli.Err(), "watching"); }, 10)) << cli.Err();
    const std::string done = ": done";
    std::set<std::string> nodes;
    int sameNode = 0;
    for (std::size_t k = 0; k < kPlugs; ++k) {
        sim::Options o;
        o.searchReplyDelayMs = 0;
        o.outputDir = dir / "sim";
        sim::Simulator s(o);
        const std::string pty = s.OpenPty();
        ASSERT_FALSE(pty.empty());
        sameNode += nodes.count(pty) ? 1 : 0;
        nodes.insert(pty);
        s.Start();
        // The link moves to the new node in one step.
        const std::string next = port + ".next";
        ::unlink(next.c_str());
        ASSERT_EQ(::symlink(pty.c_str(), next.c_str()), 0);
        ASSERT_EQ(::rename(next.c_str(), port.c_str()), 0);
        ASSERT_TRUE(cli.WaitForOutput([&] { return Count(cli.Out(), done) == k + 1; }, 30))
            << "plug " << k << "\n" << cli.Out() << cli.Err().substr(0, 3000);
        EXPECT_EQ(s.GetSummary().searchFrames, 1u) << "plug " << k;
        EXPECT_EQ(s.GetSummary().blocksAccepted, 20u) << "plug " << k;
        if (k + 1 == kPlugs) {
            std::this_thread::sleep_for(1s);
            EXPECT_EQ(s.GetSummary().searchFrames, 1u) << "served again while it stayed";
        }
        s.Stop();
    }
    std::printf("[ info     ] %d of %zu plugs on a node used before\n", sameNode, kPlugs);

    // A node whose mode changes while its instrument is served (udev at
    // work) still holds the same instrument: it is not served twice.
    sim::Options paced;
    paced.searchReplyDelayMs = 0;
    paced.baud = 115200;
    paced.outputDir = dir / "sim";
    sim::Simulator slow(paced);
    const std::string pty = slow.OpenPty();
    slow.Start();
    ::unlink(port.c_str());
    ASSERT_EQ(::symlink(pty.c_str(), port.c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return slow.GetSummary().blocksAccepted >= 2; }, 20));
    ::chmod(pty.c_str(), 0666);
    ASSERT_TRUE(cli.WaitForOutput([&] { return Count(cli.Out(), done) == kPlugs + 1; }, 30)) << cli.Err();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(slow.GetSummary().searchFrames, 1u) << "served again after its mode changed";
    cli.Signal(SIGINT);
    const RunResult r = cli.Wait(20);
    EXPECT_EQ(r.code, 130) << Describe(r);
    EXPECT_EQ(Count(r.out, done), kPlugs + 1);
    slow.Stop();
    ::unlink(port.c_str());
}

} // namespace
} // namespace quillet::test
