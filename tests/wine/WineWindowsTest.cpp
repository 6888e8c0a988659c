// What a Windows user meets beyond the flows, under wine: COM ports
// written as Windows writes them, and quillet.exe's --version and --help.
#include "WineSupport.h"

namespace quillet::test {
namespace {

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

// quillet.exe has no console of its own: --version and --help print to
// the one it was started from and end with 0.
TEST_F(WineFixture, DialogProgramTellsItsVersionAndHelp) {
    const RunResult cli = Cli({"--version"});
    ASSERT_EQ(cli.code, 0) << Describe(cli);
    ASSERT_EQ(cli.out.rfind("quillet-cli ", 0), 0u) << cli.out;
    RunResult r = Run("win/quillet.exe", {"--version"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_EQ(r.out, "quillet " + cli.out.substr(std::string("quillet-cli ").size())) << r.out;
    r = Run("win/quillet.exe", {"--help"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "--version")) << r.out;
    EXPECT_TRUE(Contains(r.out, "--demo")) << r.out;
    r = Run("win/quillet.exe", {"--no-such-option"});
    EXPECT_EQ(r.code, 2) << Describe(r);
}

} // namespace
} // namespace quillet::test
