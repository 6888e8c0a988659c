// quillet-cli.exe under wine against the simulator on pseudo-terminals: the
// Windows serial backend (overlapped comm API), the Windows console, file
// names and the flows end to end. The COM ports are wine's dosdevices links;
// the modem-line library answers wine's modem-line requests on the ptys.
#include "WineSupport.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace quillet::test {
namespace {

TEST_F(WineFixture, SearchFindsCom3BehindTwoAbsentPorts) {
    StartSim();
    // COM1 is not there at all; COM2 exists but cannot be had (as a port
    // another program holds).
    MapPorts({Absent(), Refusing(), Sim()});
    const RunResult r = Cli({"-v", "search"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Found the signal generator on COM3")) << r.out;
    EXPECT_TRUE(Contains(r.err, "COM1  COM1 could not be opened: no such device\r\n")) << r.err;
    EXPECT_TRUE(Contains(r.err, "COM2  COM2 could not be opened: COM2 is in use by another program")) << r.err;
    EXPECT_EQ(StopSim().searchFrames, 1u);
}

TEST_F(WineFixture, PatternInSlot2IsStoredPixelForPixelFromANameBeyondAscii) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    const std::string image = "Pr\xC3\xBC" "fbild \xE2\x82\xAC.bmp";
    ASSERT_TRUE(PillowRandomBmp(dir / image, 1920, 1080, 9));
    sim::Options o;
    o.eraseTimeMs = 100;
    StartSim(o);
    MapPorts({Absent(), Sim()});
    const RunResult r = Cli({"pattern", "--slot", "2", image}, 240);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "24300 blocks acknowledged")) << r.out;
    const sim::Summary s = StopSim();
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    ASSERT_TRUE(PillowDecodeRgb(dir / "sim/pattern_slot2.bmp", dir / "stored.rgb"));
    EXPECT_TRUE(ReadFile(dir / "stored.rgb") == ReadFile(dir / image + ".rgb"))
        << "stored image differs from the source";
}

TEST_F(WineFixture, MainMcuUpdateReopensTheSamePortAt8E1) {
    const auto image = RandomBytes(1000, 23);
    WriteFile(dir / "data/GENERATOR_MCU.bin", image);
    StartSim();
    MapPorts({Sim()});
    // wine sets the line from its unix side: the parity trace sees it.
    const std::string log = dir / "parity.log";
    const RunResult r = Cli({"mcu", "generator"}, 120, {ParityTraceLibrary()}, {"PARITYTRACE_LOG=" + log});
    ASSERT_EQ(r.code, 0) << Describe(r);
    std::ifstream in(log);
    std::stringstream trace;
    trace << in.rdbuf();
    const std::string onSim = "tty=" + device;
    EXPECT_TRUE(Contains(trace.str(), onSim)) << trace.str();
    bool even = false;
    for (std::string line; std::getline(trace, line);)
        if (Contains(line, onSim + " ") && Contains(line, "parenb=1 parodd=0 cs8=1 cstopb=0")) even = true;
    EXPECT_TRUE(even) << trace.str();
    const sim::Summary s = StopSim();
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    auto expected = image;
    expected.resize(1024, 0xFF);
    EXPECT_EQ(ReadFile(dir / "sim/mcu_flash.bin"), expected);
}

TEST_F(WineFixture, InputBoardFirmwareArrivesByteForByte) {
    const auto firmware = RandomBytes(10000, 33);
    WriteFile(dir / "board.bin", firmware);
    StartSim();
    MapPorts({Sim()});
    const RunResult r = Cli({"input-board", "1", "board.bin"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "10000 bytes sent")) << r.out;
    const sim::Summary s = StopSim();
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    EXPECT_EQ(ReadFile(dir / "sim/input_board1.bin"), firmware);
}

// A device that is no serial port (the one before the generator) is
// passed by without a byte written to it; the flow on the generator's port
// goes on. And a file named like a Windows device is refused without being
// opened (opening AUX would wait for good).
TEST_F(WineFixture, AFailingPortDuringTheSearchAndADeviceNameAsFile) {
    const auto image = RandomBytes(20 * 256, 19);
    WriteFile(dir / "fpga-aux.bin", image);
    WriteFile(dir / "aux.bin", image);
    StartSim();
    MapPorts({"/dev/null", Sim()});
    RunResult r = Cli({"-v", "fpga", "aux", "fpga-aux.bin"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "COM1  COM1 could not be opened: COM1 is not a serial port")) << r.err;
    EXPECT_TRUE(Contains(r.out, "20 blocks acknowledged")) << r.out;

    r = Cli({"fpga", "aux", "aux.bin"});
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "is the name of a Windows device, not of a file.")) << r.err;
    const sim::Summary s = StopSim();
    EXPECT_EQ(s.blocksAccepted, 20u);
    EXPECT_EQ(ReadFile(dir / "sim/aux_fpga.bin"), image);
}

// The instrument going away (the adapter pulled out) is told once and ends
// the flow. Here the simulator closes its end right after it has answered
// the search, so the first block goes to a line that is gone.
TEST_F(WineFixture, DeviceGoneIsToldOnceAndEndsTheFlow) {
    WriteFile(dir / "fpga-aux.bin", RandomBytes(300 * 256, 29));
    StartSim();
    MapPorts({Sim()});
    std::thread pull([this] {
        WaitFor([this] { return simulator->GetSummary().searchFrames >= 1; }, 60);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the reply is out after 20 ms
        simulator->Stop();
        simulator.reset();  // closes the pseudo-terminal
    });
    const RunResult r = Cli({"--timeout", "20", "fpga", "aux", "fpga-aux.bin"});
    pull.join();
    EXPECT_EQ(r.code, 1) << Describe(r);
    // In words of the flow; the error box is for a port that is still there.
    EXPECT_EQ(Count(r.err, "COM1 went away during the AUX FPGA image upload after 0 of 300 blocks. "
                           "Reconnect the instrument and upload again."), 1) << r.err;
    EXPECT_EQ(Count(r.err, "Application Error"), 0) << r.err;
}

// wine now and then ends a wait for input with an error on a port that is
// still there (here every 150th query of the modem lines fails, which
// makes wine abort the WaitCommEvent under way): no loss, the upload goes
// on to its end. A port that really went away is still told (above).
TEST_F(WineFixture, PassingPortErrorsAreNoLoss) {
    const std::vector<std::uint8_t> image = RandomBytes(1000 * 256, 31);
    WriteFile(dir / "fpga-aux.bin", image);
    StartSim();
    MapPorts({Sim()});
    const RunResult r = Cli({"fpga", "aux", "fpga-aux.bin"}, 200, {}, {"QUILLET_MODEMLINES_FAIL_EVERY=150"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "1000 blocks acknowledged")) << r.out;
    EXPECT_FALSE(Contains(r.err, "went away")) << r.err;
    const sim::Summary s = StopSim();
    EXPECT_EQ(s.blocksAccepted, 1000u);
    EXPECT_EQ(ReadFile(dir / "sim/aux_fpga.bin"), image);
}

// Without pseudo-terminals the demo's generator lives in the process.
TEST_F(WineFixture, DemoWithTheGeneratorInTheProcess) {
    const RunResult r = Cli({"demo"}, 240);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "equals the source pixel for pixel")) << r.out;
}

} // namespace
} // namespace quillet::test
