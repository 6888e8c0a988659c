// quillet-cli.exe under wine against instruments behind a real ser2net: a
// panel upload through an RFC 2217 port (Windows sockets, the telnet layer
// and the COM port option), and the main-MCU update refused over a raw TCP
// port before the boot-mode command, since such a port cannot carry 8E1.
#include "WineSupport.h"

#include "cli/CliSupport.h"
#include "net/Ser2netSupport.h"

namespace quillet::test {
namespace {

TEST_F(WineFixture, NetworkPortsThroughSer2net) {
    if (!Ser2net::Installed()) FAIL() << kSer2netPath << " is missing (scripts/setup.sh installs ser2net)";
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing";
    ASSERT_TRUE(PillowRandomBmp(dir / "panel.bmp", 240, 160, 41));
    WriteFile(dir / "data/GENERATOR_MCU.bin", RandomBytes(1000, 42));
    StartSim();
    SimProgram raw({"--out", dir / "raw-sim"});
    Ser2net server(dir.Path(), {{device, true}, {raw.Device(), false}});
    ASSERT_TRUE(server.Ready());

    RunResult r = Cli({"-p", server.Url(0), "panel", "--slot", "1", "panel.bmp"}, 180);
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "300 blocks acknowledged")) << r.out;
    const sim::Summary s = StopSim();
    EXPECT_TRUE(s.violations.empty()) << s.violations.front();
    EXPECT_EQ(s.blocksAccepted, 300u);

    r = Cli({"-p", server.Url(1), "mcu", "generator"}, 90);
    EXPECT_EQ(r.code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "cannot switch the instrument's port to 8E1: use rfc2217:// or a local port"))
        << Describe(r);
    // Nothing but the search frame reached the instrument behind the raw
    // port: no boot-mode command.
    const std::string summary = raw.Stop();
    EXPECT_TRUE(Contains(summary, "quillet-sim: 10 bytes received, 1 search frames")) << summary;
}

} // namespace
} // namespace quillet::test
