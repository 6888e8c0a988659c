// quillet-cli against bad input and interruptions, end to end over
// pseudo-terminals: every case ends in one clear message and the right exit
// code, and nothing reaches the instrument or a file that should not.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <thread>

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/CliSupport.h"
#include "pattern/SamplePattern.h"
#include "sim/lib/Simulator.h"

namespace quillet::test {
namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::string Describe(const RunResult& r) {
    return "exit " + std::to_string(r.code) + (r.timedOut ? " (killed)" : "") + " after " +
           std::to_string(r.seconds) + " s\nstdout:\n" + r.out + "\nstderr:\n" + r.err.substr(0, 4000);
}

// The "nobody" account, for what an operator without root meets.
constexpr int kNobody = 65534;

struct Robustness : ::testing::Test {
    TempDir dir;
    std::unique_ptr<sim::Simulator> simulator;
    std::string device;

    void StartSim(sim::Options o = {}) {
        o.outputDir = dir / "sim";
        std::filesystem::create_directories(o.outputDir);
        simulator = std::make_unique<sim::Simulator>(o);
        device = simulator->OpenPty();
        // The simulator keeps the bootloader's parity on its pty (as quillet-sim announces).
        setenv("QUILLET_SIM_PTYS", device.c_str(), 1);
        ASSERT_FALSE(device.empty());
        simulator->Start();
    }
    void TearDown() override {
        if (simulator) simulator->Stop();
    }
    std::size_t Received() const { return simulator->Received().size(); }
};

// ---- ports -----------------------------------------------------------------------

TEST_F(Robustness, APortThatIsNoSerialDeviceIsLeftUntouched) {
    // A file, a FIFO and /dev/null named in the port map: the search passes
    // them by and says why; not one byte lands in them.
    const auto victim = RandomBytes(300, 1);
    WriteFile(dir / "victim.txt", victim);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const RunResult r =
        RunCli({"-v", "--ports", dir / "victim.txt," + dir / "fifo,/dev/null", "search"}, dir.Path(), 20);
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_EQ(ReadFile(dir / "victim.txt"), victim);
    EXPECT_TRUE(Contains(r.err, "Can not find available device")) << r.err;
    EXPECT_TRUE(Contains(r.err, dir / "victim.txt is not a serial port (it is a regular file); nothing was written to it."))
        << r.err;
    EXPECT_TRUE(Contains(r.err, "COM2  " + dir / "fifo could not be opened: " + dir / "fifo is not a serial port (it is a FIFO)"))
        << r.err;
    EXPECT_TRUE(Contains(r.err, "COM3  /dev/null could not be opened: /dev/null is not a serial port")) << r.err;
    EXPECT_TRUE(Contains(r.err, "COM4 to COM99: no device in the port map")) << r.err;
    EXPECT_LT(r.seconds, 5);
}

TEST_F(Robustness, APortRefusedForPermissionGivesTheGroupHintOnce) {
    StartSim();
    // Two ports the operator may not open: the hint still comes once.
    int master = -1, slave = -1;
    char other[128] = {};
    ASSERT_EQ(::openpty(&master, &slave, other, nullptr, nullptr), 0);
    ::chmod(device.c_str(), 0);
    ::chmod(other, 0);
    const int user = ::geteuid() == 0 ? kNobody : -1;
    const std::string ports = device + "," + other;
    RunResult r = RunProgram(QUILLET_CLI_PATH, {"--ports", ports, "search"}, "/tmp", 20, false, user);
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "Can not find available device")) << r.err;
    EXPECT_TRUE(Contains(r.err, "Permission denied on " + device + ": add your user to the group")) << r.err;
    EXPECT_EQ(Count(r.err, "usermod"), 1u) << r.err;
    // -v tells it per port.
    r = RunProgram(QUILLET_CLI_PATH, {"-v", "--ports", ports, "search"}, "/tmp", 20, false, user);
    EXPECT_TRUE(Contains(r.err, "COM2  " + std::string(other) + " could not be opened: Permission denied on")) << r.err;
    EXPECT_EQ(Received(), 0u);
    ::close(master);
    ::close(slave);
}

// ---- files ---------------------------------------------------------------------------

// Whatever the file's fault, the command ends at once with the file and the
// reason, before the search: the instrument receives nothing at all.
TEST_F(Robustness, AFileTheFlowCannotUseEndsTheCommandBeforeTheSearch) {
    StartSim();
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    WriteFile(dir / "empty.bin", {});
    WriteFile(dir / "huge.bin", {1});
    std::filesystem::resize_file(dir / "huge.bin", 200u << 20);  // sparse
    std::filesystem::create_directories(dir / "folder.bin");
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::string mcuImage = "./data/GENERATOR_MCU.bin";
    const std::vector<Case> cases = {
        {{"pattern", "--slot", "1", "/dev/zero"}, "\"/dev/zero\" is not a regular file (it is a character device)."},
        {{"panel", "--slot", "2", dir / "fifo"}, "\"" + dir / "fifo\" is not a regular file (it is a FIFO)."},
        {{"pattern", "--slot", "1", dir / "huge.bin"}, "\"" + dir / "huge.bin\" is 209,715,200 bytes, more than a pattern BMP can be"},
        {{"input-board", "1", "/dev/zero"}, "(it is a character device)"},
        {{"input-board", "2", dir / "empty.bin"}, "\"" + dir / "empty.bin\" is empty."},
        {{"fpga", "aux", "/dev/urandom"}, "(it is a character device)"},
        {{"fpga", "aux", dir / "huge.bin"}, "more than an image sent in blocks can be (16,777,216 bytes: 65,536 blocks of 256 bytes)"},
        {{"analyzer-data", dir / "fifo"}, "(it is a FIFO)"},
        {{"mcu", "generator"}, "\"" + mcuImage + "\" cannot be opened: No such file or directory."},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--ports", device};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = RunCli(args, dir.Path(), 20);
        EXPECT_EQ(r.code, 1) << c.args[0] << "\n" << Describe(r);
        EXPECT_TRUE(Contains(r.err, "quillet-cli: ")) << r.err;
        EXPECT_TRUE(Contains(r.err, c.says + (c.says.back() == '.' ? " Nothing was sent." : ""))) << r.err;
    }
    // The main-MCU image missing, empty or a folder: no boot-mode command
    // (the instrument would be left in its bootloader).
    WriteFile(dir / "data/GENERATOR_MCU.bin", {});
    RunResult r = RunCli({"--ports", device, "mcu", "generator"}, dir.Path(), 20);
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "\"" + mcuImage + "\" is empty. Nothing was sent.")) << r.err;
    std::filesystem::remove(dir / "data/GENERATOR_MCU.bin");
    std::filesystem::create_directories(dir / "data/GENERATOR_MCU.bin");
    r = RunCli({"--ports", device, "mcu", "generator"}, dir.Path(), 20);
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "\"" + mcuImage + "\" is a folder, not a file. Nothing was sent.")) << r.err;
    EXPECT_EQ(Received(), 0u);
}

// ---- interruptions ---------------------------------------------------------------------

// Ctrl+C in the middle of an upload, as an operator without root: the flow
// stops with what it was and how far it came, the port is closed properly
// (its exclusive flag given back), so the same user's next run gets the
// port. SIGTERM and SIGHUP end the same way with their own exit codes.
TEST_F(Robustness, AnInterruptedUploadSaysHowFarItCameAndFreesThePort) {
    ASSERT_TRUE(WriteSamplePatternBmp(dir / "pattern.bmp"));
    ::chmod(dir.Path().c_str(), 0755);
    sim::Options o;
    o.baud = 115200;  // about 40 blocks a second: the upload takes a while
    StartSim(o);
    ::chmod(device.c_str(), 0666);
    const int user = ::geteuid() == 0 ? kNobody : -1;
    for (const auto& [signal, code] : std::vector<std::pair<int, int>>{{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
        SCOPED_TRACE(signal);
        const std::uint64_t before = simulator->GetSummary().blocksAccepted;
        std::thread signaller;
        double signalledAt = 0;
        const auto start = std::chrono::steady_clock::now();
        const RunResult r = RunProgram(QUILLET_CLI_PATH, {"--ports", device, "panel", "--slot", "1", dir / "pattern.bmp"},
                                       "/tmp", 30, false, user, [&, sig = signal](int pid) {
                                           signaller = std::thread([&, pid, sig] {
                                               WaitFor([&] { return simulator->GetSummary().blocksAccepted >= before + 20; }, 20);
                                               signalledAt = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                                               ::kill(pid, sig);
                                           });
                                       });
        signaller.join();
        EXPECT_EQ(r.code, code) << Describe(r);
        // Promptly, with room for a loaded machine (the figure is the bench's).
        EXPECT_LT(r.seconds - signalledAt, 3.0) << Describe(r);
        EXPECT_TRUE(Contains(r.err, "quillet-cli: interrupted")) << r.err;
        EXPECT_TRUE(Contains(r.err, ": the panel-image upload to slot 1 stopped after ")) << r.err;
        EXPECT_TRUE(Contains(r.err, " of 300 blocks; the panel slot holds a partial image: run the upload again\n")) << r.err;
        if (signal == SIGTERM) {
            EXPECT_TRUE(Contains(r.err, "interrupted by SIGTERM: ")) << r.err;
        }
    }
    // The port was given back: the same user opens it again.
    const RunResult again = RunProgram(QUILLET_CLI_PATH, {"--ports", device, "search"}, "/tmp", 30, false, user);
    EXPECT_EQ(again.code, 0) << Describe(again);
}

// ---- the device goes away ----------------------------------------------------------

TEST_F(Robustness, AnUnpluggedInstrumentIsNamedWithTheFlowAndItsProgress) {
    ASSERT_TRUE(WriteSamplePatternBmp(dir / "pattern.bmp"));
    sim::Options o;
    // The search frame, 40 blocks of 270 bytes, then the cable is pulled
    // in the middle of the 41st.
    o.unplugAfterBytes = 10 + 40 * 270 + 100;
    StartSim(o);
    const RunResult r = RunCli({"--ports", device, "panel", "--slot", "1", dir / "pattern.bmp"}, dir.Path(), 20);
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "COM1 (" + device +
                                    ") went away during the panel-image upload to slot 1 after 40 of 300 blocks. "
                                    "Reconnect the instrument and upload again."))
        << r.err;
    EXPECT_FALSE(Contains(r.err, "Application Error")) << r.err;
    EXPECT_LT(r.seconds, 5);
}

// ---- the instrument stops answering ----------------------------------------------------

// The erase wait is the program's own pause (the instrument may say nothing
// while it erases): it shows as "erasing" with its time so far, and
// --timeout counts from its end. An instrument hung right after the erase
// command ends the upload once the wait is over; one that confirms the
// erase and then hangs, --timeout after the confirmation.
TEST_F(Robustness, AHangAroundThePatternEraseEndsWithinTheEraseWaitAndTheTimeOut) {
    ASSERT_TRUE(WriteSamplePatternBmp(dir / "pattern.bmp"));
    sim::Options o;
    o.silentAfterBytes = 10 + 28;  // the search frame and the slot command
    o.eraseTimeMs = 120000;        // the "cnd 12" line would come far too late
    StartSim(o);
    RunResult r = RunCli({"--ports", device, "--timeout", "3", "pattern", "--slot", "2", dir / "pattern.bmp"},
                         dir.Path(), 90, true);
    EXPECT_EQ(r.code, 3) << Describe(r);
    EXPECT_GT(r.seconds, 45);
    EXPECT_LT(r.seconds, 51 + 3 + 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "  erasing 20 s  ")) << r.err.substr(0, 3000);
    EXPECT_TRUE(Contains(r.err, "quillet-cli: time-out: the instrument did not confirm the erase of the slot within "
                                "51 s (no \"cnd 12\" line); nothing was sent; the slot may hold no pattern now: "
                                "run the upload again"))
        << Describe(r);
    simulator->Stop();

    o.eraseTimeMs = 1500;  // the erase is confirmed; the first block is not acknowledged
    StartSim(o);
    r = RunCli({"--ports", device, "--timeout", "3", "pattern", "--slot", "2", dir / "pattern.bmp"}, dir.Path(), 90);
    EXPECT_EQ(r.code, 3) << Describe(r);
    EXPECT_LT(r.seconds, 1.5 + 3 + 1 + 1) << Describe(r);  // and the search
    EXPECT_TRUE(Contains(r.err, "erasing\nwriting\n")) << r.err;
    EXPECT_TRUE(Contains(r.err, "has not acknowledged a block for 3 s; no block was acknowledged")) << r.err;
}

// The main-MCU update shows "syncing" until the bootloader has acknowledged
// the erase command, then "erasing"; a bootloader that hangs before it
// never shows as erasing.
TEST_F(Robustness, TheMcuUpdateShowsSyncingUntilTheEraseCommandIsAcknowledged) {
    std::filesystem::create_directories(dir / "data");
    WriteFile(dir / "data/GENERATOR_MCU.bin", RandomBytes(1000, 5));
    StartSim();
    RunResult r = RunCli({"--ports", device, "mcu", "generator"}, dir.Path(), 60);
    EXPECT_EQ(r.code, 0) << Describe(r);
    const auto erasing = r.err.find("waiting for boot mode\nsyncing\nerasing\n");
    EXPECT_NE(erasing, std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\nwriting\n", erasing), std::string::npos) << r.err;
    simulator->Stop();

    sim::Options o;
    // Search, boot-mode command, sync and the queries: the erase command
    // (43 BC) arrives, the bootloader answers nothing more.
    o.silentAfterBytes = 46;
    StartSim(o);
    r = RunCli({"--ports", device, "--timeout", "2", "mcu", "generator"}, dir.Path(), 60);
    EXPECT_EQ(r.code, 3) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "waiting for boot mode\nsyncing\n")) << r.err;
    EXPECT_FALSE(Contains(r.err, "erasing")) << r.err;
    EXPECT_TRUE(Contains(r.err, "did not acknowledge the flash erase at 0x08000000")) << r.err;
}

} // namespace
} // namespace quillet::test
