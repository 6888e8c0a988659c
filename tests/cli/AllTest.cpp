// quillet-cli --all and --watch end to end: several simulated instruments
// on pseudo-terminals (quillet-sim --count N, or simulators in this
// process), the command line as a child process.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <memory>
#include <set>

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
    const RunResult r = RunCli({"--ports", sim.PortList(), "--timeout", "2", "pattern", "--slot", "2", "--all", image},
                               dir.Path(), 240);
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
        if (!json) continue;
        const auto j = nlohmann::json::parse(r.out, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << r.out;
        EXPECT_EQ(j["result"], "failed");
        EXPECT_EQ(j["exit_code"], 1);
    }
}

// --json: the progress objects name their port, and each instrument has its
// own final object; a port where nothing answers has none.
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
        coms.insert(j["com"].get<int>());
        EXPECT_EQ(j["result"], "done");
        EXPECT_EQ(j["counts"]["blocks"], 21);
    }
    EXPECT_EQ(objects, 2u);
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

} // namespace
} // namespace quillet::test
