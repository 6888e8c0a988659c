// Output never stops a flow: quillet-cli with its stdout and stderr in a
// pipe that `head -c 100` closes early, closed, or on a full device, and
// with its log on a full device, still stores the whole image in the
// simulator (quillet-sim on a pseudo-terminal) and ends with the flow's exit
// code, noting once what it could not write. And the log: an unusable one
// is a usage error before anything is sent; each run appends a header line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "cli/CliSupport.h"
#include "sim/lib/Simulator.h"

namespace quillet::test {
namespace {

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::string Describe(const RunResult& r) {
    return "exit " + std::to_string(r.code) + (r.timedOut ? " (killed)" : "") + "\nstdout:\n" +
           r.out.substr(0, 2000) + "\nstderr:\n" + r.err.substr(0, 4000);
}

// A shell line run by bash; `$CLI` is quillet-cli.
RunResult Shell(const std::string& line, const std::string& cwd, double limit = 120) {
    setenv("CLI", QUILLET_CLI_PATH, 1);
    return RunProgram("/bin/bash", {"-c", line}, cwd, limit);
}

struct OutputCase {
    const char* what;
    const char* redirect;  // after the command; $CMD stands for it
    const char* note;      // said once on stderr; empty: stderr cannot be read
};

TEST(CliOutput, PanelUploadEndsWellWhateverBecomesOfItsOutput) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    TempDir dir;
    const std::string image = dir / "panel.bmp";
    ASSERT_TRUE(PillowRandomBmp(image, 240, 160, 21));
    const auto expected = Rgb565(ReadFile(image + ".rgb"));
    SimProgram sim({"--out", dir / "sim", "--delay", "0"});
    ASSERT_FALSE(sim.Device().empty());
    const std::string cmd = "\"$CLI\" --ports " + sim.Device() + " panel --slot 1 " + image;
    const OutputCase cases[] = {
        {"--json, both streams into head -c 100", "$CMD --json 2>&1 | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}", ""},
        {"text, both streams into head -c 100", "$CMD 2>&1 | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}", ""},
        {"stdout closed", "$CMD >&-", "standard output was closed"},
        {"--json, stdout closed", "$CMD --json >&-", "standard output was closed"},
        {"stdout and stderr closed", "$CMD >&- 2>&-", ""},
        {"stdout full", "$CMD >/dev/full", "standard output could not be written"},
        {"--json, stdout and stderr full", "$CMD --json >/dev/full 2>/dev/full", ""},
        {"the log full", "$CMD --log /dev/full -vv", "the log /dev/full could not be written"},
    };
    for (const OutputCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(dir / "sim/panel_slot1.bin");
        std::string line = c.redirect;
        line.replace(line.find("$CMD"), 4, cmd);
        const RunResult r = Shell(line, dir.Path());
        EXPECT_EQ(r.code, 0) << line << "\n" << Describe(r);
        EXPECT_EQ(ReadFile(dir / "sim/panel_slot1.bin"), expected) << line;
        if (*c.note) {
            EXPECT_EQ(Occurrences(r.err, c.note), 1u) << line << "\n" << r.err;
        }
    }
    const std::string simErr = sim.Stop();
    EXPECT_NE(simErr.find(", 0 violations"), std::string::npos) << simErr;
}

TEST(CliOutput, EveryInstrumentOfAllIsServedWhenTheReaderGoesAway) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    TempDir dir;
    const std::string image = dir / "panel.bmp";
    ASSERT_TRUE(PillowRandomBmp(image, 240, 160, 23));
    const auto expected = Rgb565(ReadFile(image + ".rgb"));
    SimProgram sim({"--count", "2", "--out", dir / "sim", "--delay", "0"}, 2);
    ASSERT_EQ(sim.Devices().size(), 2u);
    const std::string cmd = "\"$CLI\" --ports " + sim.PortList() + " panel --slot 2 --all --json " + image;
    for (const std::string& line : {cmd + " | true; exit ${PIPESTATUS[0]}",
                                    cmd + " 2>&1 | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}"}) {
        for (int k = 1; k <= 2; ++k) std::filesystem::remove(dir / ("sim/" + std::to_string(k) + "/panel_slot2.bin"));
        const RunResult r = Shell(line, dir.Path());
        EXPECT_EQ(r.code, 0) << line << "\n" << Describe(r);
        for (int k = 1; k <= 2; ++k)
            EXPECT_EQ(ReadFile(dir / ("sim/" + std::to_string(k) + "/panel_slot2.bin")), expected) << line << " instrument " << k;
    }
}

TEST(CliOutput, PatternUploadIntoHeadStoresTheWholeImage) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    TempDir dir;
    const std::string image = dir / "pattern.bmp";
    ASSERT_TRUE(PillowRandomBmp(image, 1920, 1080, 22));
    SimProgram sim({"--out", dir / "sim", "--delay", "0", "--erase-ms", "100"});
    const RunResult r = Shell("\"$CLI\" --ports " + sim.Device() + " pattern --slot 3 --json " + image +
                                  " 2>&1 | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}",
                              dir.Path(), 240);
    EXPECT_EQ(r.code, 0) << Describe(r);
    sim.Stop();
    ASSERT_TRUE(PillowDecodeRgb(dir / "sim/pattern_slot3.bmp", dir / "stored.rgb"));
    EXPECT_EQ(ReadFile(dir / "stored.rgb"), ReadFile(image + ".rgb"));
}

// A simulator in this process, to tell whether anything reached it.
struct LogFixture : ::testing::Test {
    TempDir dir;
    std::unique_ptr<sim::Simulator> simulator;
    std::string device;
    void SetUp() override {
        sim::Options o;
        o.outputDir = dir / "sim";
        o.searchReplyDelayMs = 0;
        simulator = std::make_unique<sim::Simulator>(o);
        device = simulator->OpenPty();
        ASSERT_FALSE(device.empty());
        simulator->Start();
    }
    void TearDown() override { simulator->Stop(); }
    RunResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), {"--ports", device});
        return RunCli(args, dir.Path());
    }
};

TEST_F(LogFixture, UnusableLogIsAUsageErrorBeforeAnythingIsSent) {
    std::filesystem::create_directories(dir / "folder");
    for (const std::string& log : {dir / "no/such/folder/x.log", dir / "folder"}) {
        const RunResult r = Cli({"search", "--log", log});
        EXPECT_EQ(r.code, 2) << log << "\n" << Describe(r);
        EXPECT_NE(r.err.find("cannot write the log " + log), std::string::npos) << r.err;
        const RunResult j = Cli({"search", "--json", "--log", log});
        EXPECT_EQ(j.code, 2);
        EXPECT_NE(j.out.find(R"("error":"usage")"), std::string::npos) << j.out;
    }
    EXPECT_EQ(simulator->GetSummary().bytesReceived, 0u);
}

TEST_F(LogFixture, EachRunAppendsItsTraceAfterAHeaderLine) {
    const std::string log = dir / "trace.log";
    ASSERT_EQ(Cli({"search", "--log", log}).code, 0);
    ASSERT_EQ(Cli({"search", "--log", log, "-v"}).code, 0);
    std::ifstream in(log);
    std::vector<std::string> headers;
    std::size_t searchFrames = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("# ", 0) == 0) headers.push_back(line);
        if (line.find("search frame") != std::string::npos) ++searchFrames;
    }
    ASSERT_EQ(headers.size(), 2u);
    EXPECT_EQ(searchFrames, 2u);  // the first run's trace is still there
    const std::regex header(R"(# \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ  quillet-cli \S.*  quillet-cli --ports (\S+) search --log (\S+)( -v)?)");
    for (const auto& h : headers) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(h, m, header)) << h;
        EXPECT_EQ(m[1], device);
        EXPECT_EQ(m[2], log);
    }
    EXPECT_NE(headers[1].find(" -v"), std::string::npos);
}

} // namespace
} // namespace quillet::test
