// Network instruments end to end: quillet-cli against quillet-sim behind a
// real ser2net (RFC 2217 and raw TCP ports), and against quillet-sim's own
// network port (--listen).
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "Ser2netSupport.h"
#include "cli/CliSupport.h"
#include "serial/Telnet.h"

namespace quillet::test {
namespace {

constexpr const char* kRefusal = "cannot switch the instrument's port to 8E1: use rfc2217:// or a local port";
constexpr std::size_t kMcuImageBytes = 3000;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Describe(const RunResult& r) {
    return "exit " + std::to_string(r.code) + (r.timedOut ? " (killed)" : "") + "\nstdout:\n" + r.out +
           "\nstderr:\n" + r.err.substr(0, 4000);
}

class Ser2netTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Ser2net::Installed()) FAIL() << kSer2netPath << " is missing (scripts/setup.sh installs ser2net)";
        ::unsetenv("QUILLET_SIM_PTYS");
    }
    // A random panel image and its RGB565 form as the instrument stores it.
    std::vector<std::uint8_t> PanelImage(const std::string& path, int seed) {
        if (!PillowRandomBmp(path, 240, 160, seed)) return {};
        return Rgb565(ReadFile(path + ".rgb"));
    }
    std::vector<std::uint8_t> McuImage() {
        std::filesystem::create_directories(dir / "data");
        const auto image = RandomBytes(kMcuImageBytes, 11);
        WriteFile(dir / "data/GENERATOR_MCU.bin", image);
        return image;
    }
    TempDir dir;
};

TEST_F(Ser2netTest, APatternUploadOverRfc2217IsStoredPixelForPixel) {
    ASSERT_TRUE(HavePillow());
    const std::string image = dir / "pattern.bmp";
    ASSERT_TRUE(PillowRandomBmp(image, 1920, 1080, 21));
    SimProgram sim({"--out", dir / "sim", "--erase-ms", "100"});
    Ser2net server(dir.Path(), {{sim.Device(), true}});
    ASSERT_TRUE(server.Ready());
    const RunResult r = RunCli({"--ports", server.Url(0), "pattern", "--slot", "2", image}, dir.Path(), 100);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "24300 blocks acknowledged")) << r.out;
    const std::string summary = sim.Stop();
    EXPECT_TRUE(Contains(summary, " 0 violations")) << summary;
    ASSERT_TRUE(PillowDecodeRgb(dir / "sim/pattern_slot2.bmp", dir / "stored.rgb"));
    EXPECT_TRUE(ReadFile(dir / "stored.rgb") == ReadFile(image + ".rgb")) << "stored image differs from the source";
}

TEST_F(Ser2netTest, SearchPortsAPanelAndAnInputBoardOverRawTcp) {
    ASSERT_TRUE(HavePillow());
    const auto panel = PanelImage(dir / "panel.bmp", 22);
    SimProgram sim({"--out", dir / "sim", "--delay", "0"});
    Ser2net server(dir.Path(), {{sim.Device(), false}});
    ASSERT_TRUE(server.Ready());
    const std::string nobody = "rfc2217://127.0.0.1:" + std::to_string(FreeTcpPort());
    const std::string ports = server.Url(0) + "," + nobody;

    RunResult r = RunCli({"--ports", ports, "ports"}, dir.Path(), 30);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "COM1  " + server.Url(0) + "  raw TCP server 127.0.0.1 port")) << r.out;
    EXPECT_TRUE(Contains(r.out, "COM2  " + nobody + "  RFC 2217 server 127.0.0.1 port")) << r.out;
    EXPECT_TRUE(Contains(r.out, "not reachable: the connection was refused by 127.0.0.1:")) << r.out;

    r = RunCli({"--ports", ports, "search"}, dir.Path(), 30);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "on COM1  " + server.Url(0))) << r.out;
    // By host name too.
    const std::string byName = "socket://localhost:" + server.Url(0).substr(server.Url(0).rfind(':') + 1);
    r = RunCli({"--ports", byName, "search"}, dir.Path(), 30);
    EXPECT_EQ(r.code, 0) << Describe(r);

    r = RunCli({"--ports", server.Url(0), "panel", "--slot", "3", dir / "panel.bmp"}, dir.Path(), 60);
    ASSERT_EQ(r.code, 0) << Describe(r);
    // An input board's loader and chunks at 8N1, 0xFF bytes and all.
    const auto firmware = RandomBytes(10000, 25);
    WriteFile(dir / "board.bin", firmware);
    r = RunCli({"--ports", server.Url(0), "input-board", "2", dir / "board.bin"}, dir.Path(), 60);
    ASSERT_EQ(r.code, 0) << Describe(r);
    const std::string summary = sim.Stop();
    EXPECT_TRUE(Contains(summary, " 0 violations")) << summary;
    EXPECT_EQ(ReadFile(dir / "sim/panel_slot3.bin"), panel);
    EXPECT_EQ(ReadFile(dir / "sim/input_board2.bin"), firmware);
}

// Over RFC 2217 ser2net is asked for even parity and answers it (the trace
// shows the server's answer); a raw TCP port cannot be asked, and the
// update stops before the instrument hears of boot mode.
TEST_F(Ser2netTest, TheMcuUpdateRunsOverRfc2217AndIsRefusedOverRawTcp) {
    const auto image = McuImage();
    SimProgram sim({"--count", "2", "--out", dir / "sim", "--delay", "0"}, 2);
    Ser2net server(dir.Path(), {{sim.Devices()[0], true}, {sim.Devices()[1], false}});
    ASSERT_TRUE(server.Ready());

    RunResult r = RunCli({"-v", "--ports", server.Url(0), "mcu", "generator", "--fast"}, dir.Path(), 60);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "opened " + server.Url(0) + " at 115200 8E1 (as the RFC 2217 server answered)"))
        << r.err.substr(0, 3000);

    r = RunCli({"--ports", server.Url(1), "mcu", "generator"}, dir.Path(), 60);
    EXPECT_NE(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.err, server.Url(1) + " is a raw TCP port, which " + kRefusal)) << Describe(r);

    const std::string summary = sim.Stop();
    auto flash = ReadFile(dir / "sim/1/mcu_flash.bin");
    ASSERT_GE(flash.size(), image.size());
    flash.resize(image.size());
    EXPECT_EQ(flash, image);
    // Instrument 2 heard the search frame and nothing else.
    EXPECT_TRUE(Contains(summary, "instrument 2 (" + sim.Devices()[1] + "): 10 bytes received, 1 search frames")) << summary;
    EXPECT_FALSE(std::filesystem::exists(dir / "sim/2/mcu_flash.bin"));
}

TEST_F(Ser2netTest, AServerKilledMidUploadIsTheDeviceGoneNamingTheServer) {
    ASSERT_TRUE(HavePillow());
    PanelImage(dir / "panel.bmp", 23);
    // Paced as a real line, so the upload is still running when the server dies.
    SimProgram sim({"--out", dir / "sim", "--delay", "0", "--erase-ms", "100", "--baud", "115200"});
    Ser2net server(dir.Path(), {{sim.Device(), true}});
    ASSERT_TRUE(server.Ready());
    CliProgram cli({"--ports", server.Url(0), "panel", "--slot", "1", dir / "panel.bmp"}, dir.Path());
    ASSERT_TRUE(cli.WaitForOutput([&] { return Contains(cli.Err(), "progress  1"); }, 30)) << cli.Err();
    server.Kill();
    const RunResult r = cli.Wait(30);
    EXPECT_FALSE(r.timedOut);
    EXPECT_NE(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.err, server.Url(0))) << Describe(r);
    EXPECT_FALSE(std::filesystem::exists(dir / "sim/panel_slot1.bin"));
}

TEST_F(Ser2netTest, AllServesThreeNetworkInstrumentsAtOnce) {
    ASSERT_TRUE(HavePillow());
    const auto panel = PanelImage(dir / "panel.bmp", 24);
    SimProgram sim({"--count", "3", "--out", dir / "sim", "--delay", "0", "--erase-ms", "100"}, 3);
    Ser2net server(dir.Path(), {{sim.Devices()[0], true}, {sim.Devices()[1], true}, {sim.Devices()[2], false}});
    ASSERT_TRUE(server.Ready());
    const RunResult r = RunCli(
        {"--ports", server.Url(0) + "," + server.Url(1) + "," + server.Url(2), "--all", "panel", "--slot", "2", dir / "panel.bmp"},
        dir.Path(), 90);
    ASSERT_EQ(r.code, 0) << Describe(r);
    sim.Stop();
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(ReadFile(dir / ("sim/" + std::to_string(k) + "/panel_slot2.bin")), panel) << k;
}

TEST_F(Ser2netTest, AMalformedUrlIsAUsageErrorBeforeAnyPortHearsAByte) {
    SimProgram sim({"--out", dir / "sim"});
    for (const std::string bad : {"rfc2217://127.0.0.1", "socket://[::1:7001", "rfc2217://::1:7001", "telnet://h:1",
                                  "socket://h:65536"}) {
        const RunResult r = RunCli({"--ports", sim.Device() + "," + bad, "search"}, dir.Path(), 20);
        EXPECT_EQ(r.code, 2) << bad << "\n" << Describe(r);
        EXPECT_TRUE(Contains(r.err, "malformed port \"" + bad + "\"")) << r.err;
    }
    ::setenv("QUILLET_PORTS", (sim.Device() + ",socket://lab:0").c_str(), 1);
    const RunResult r = RunCli({"search"}, dir.Path(), 20);
    ::unsetenv("QUILLET_PORTS");
    EXPECT_EQ(r.code, 2) << Describe(r);
    const std::string summary = sim.Stop();
    EXPECT_TRUE(Contains(summary, ": 0 bytes received")) << summary;
    // The simulator tells how its pty may carry the bootloader's parity.
    EXPECT_TRUE(Contains(summary, "QUILLET_SIM_PTYS=" + sim.Device())) << summary;
}

// quillet-sim's own RFC 2217 port: the update over it sets even parity
// before the bootloader hears a byte; a client that does not is reported.
TEST_F(Ser2netTest, TheSimulatorsNetworkPortChecksTheBootloadersParity) {
    const auto image = McuImage();
    const unsigned port = FreeTcpPort();
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(port);
    {
        // Over IPv6 loopback, in brackets.
        const std::string v6 = "rfc2217://[::1]:" + std::to_string(port);
        SimProgram sim({"--listen", v6, "--out", dir / "sim", "--delay", "0"});
        ASSERT_EQ(sim.Device(), v6);
        const RunResult r = RunCli({"--ports", v6, "mcu", "generator", "--fast"}, dir.Path(), 60);
        ASSERT_EQ(r.code, 0) << Describe(r);
        const std::string summary = sim.Stop();
        EXPECT_TRUE(Contains(summary, " 0 violations")) << summary;
    }
    // A client that leaves the line at no parity: the sync byte is flagged.
    SimProgram sim({"--listen", url, "--out", dir / "bare", "--boot"});
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    std::vector<std::uint8_t> wire = telnet::ComPortCommand(telnet::kSetParity, {telnet::kParityNone});
    wire.push_back(0x7F);
    ASSERT_EQ(::send(s, wire.data(), wire.size(), 0), static_cast<ssize_t>(wire.size()));
    std::uint8_t answer[64];
    EXPECT_GT(::recv(s, answer, sizeof answer, 0), 0);  // the parity answer and the ACK
    ::close(s);
    const std::string summary = sim.Stop();
    EXPECT_TRUE(Contains(summary, "sync byte 0x7F arrived with a parity or framing error: the line is not 8E1")) << summary;
}

} // namespace
} // namespace quillet::test

namespace quillet::test {
namespace {

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// --watch with a network port: served when its server comes up, once while
// it stays, and again after it went down and came back.
TEST(NetWatch, AnInstrumentIsServedEachTimeItsServerComesUp) {
    using namespace std::chrono_literals;
    ASSERT_TRUE(HavePillow());
    TempDir dir;
    ASSERT_TRUE(PillowRandomBmp(dir / "panel.bmp", 240, 160, 26));
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(FreeTcpPort());
    CliProgram cli({"--ports", url, "panel", "--slot", "1", "--all", "--watch", dir / "panel.bmp"}, dir.Path());
    ASSERT_TRUE(cli.WaitForOutput([&] { return Contains(cli.Err(), "watching"); }, 10)) << cli.Err();
    const std::string done = ": done, 300 blocks acknowledged";
    for (int up = 1; up <= 2; ++up) {
        SimProgram sim({"--listen", url, "--out", dir / ("sim" + std::to_string(up)), "--delay", "0", "--erase-ms", "100"});
        ASSERT_TRUE(cli.WaitForOutput([&] { return Occurrences(cli.Out(), done) == std::size_t(up); }, 30))
            << cli.Out() << cli.Err();
        std::this_thread::sleep_for(1s);  // the watch looks every 250 ms
        const std::string summary = sim.Stop();
        EXPECT_TRUE(Contains(summary, "1 search frames, 300 blocks accepted")) << "served again while it stayed: " << summary;
        std::this_thread::sleep_for(800ms);
    }
    cli.Signal(SIGINT);
    const RunResult r = cli.Wait(20);
    EXPECT_FALSE(r.timedOut) << Describe(r);
    EXPECT_EQ(Occurrences(r.out, done), 2u) << Describe(r);
}

} // namespace
} // namespace quillet::test

namespace quillet::test {
namespace {

// A server whose queue is full takes no more connections: the connect
// hangs, and --timeout bounds it; the search goes on and finds nothing.
TEST(NetTimeout, AConnectThatHangsEndsWithinTheTimeout) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size), 0);
    std::vector<int> queued;
    for (int i = 0; i < 3; ++i) {
        queued.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        (void)::connect(queued.back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    TempDir dir;
    const std::string url = "socket://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    const RunResult r = RunCli({"-v", "--timeout", "1", "--ports", url, "search"}, dir.Path(), 30);
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_LT(r.seconds, 8.0) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "no answer from 127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + " within 1.0 s"))
        << Describe(r);
    for (int fd : queued) ::close(fd);
    ::close(listener);
}

} // namespace
} // namespace quillet::test
