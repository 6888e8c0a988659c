// An FTDI adapter's latency timer under wine: the registry key its driver
// keeps (made here with reg add, as the driver lays it out) names COM7 and
// a timer of 16 ms; `ports` and the start of a flow on COM7 say so and how
// to set it to 1 ms; at 1 ms nothing is said.
#include "WineSupport.h"

namespace quillet::test {
namespace {

constexpr const char* kFtdiDevice = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+QTEST01A";
constexpr const char* kAdvice16 = "COM7 is an FTDI adapter with a 16 ms latency timer: uploads take up to";
constexpr const char* kWhere = "Set it to 1 ms in Device Manager > Ports (COM & LPT) > the port (COM7) > "
                               "Properties > Port Settings > Advanced > Latency Timer (msec).";

class WineAdapter : public WineFixture {
protected:
    void TearDown() override {
        if (!IsSkipped()) Reg({"delete", kFtdiDevice, "/f"});
        WineFixture::TearDown();
    }
    RunResult Reg(std::vector<std::string> args) {
        args.insert(args.begin(), {Wine().prefix, "reg"});
        return RunProgram(Wine().run, args, dir.Path(), 120);
    }
    // The driver's parameters of its one port: COM7 at `latencyMs`.
    void FileAdapter(unsigned latencyMs) {
        const std::string key = std::string(kFtdiDevice) + "\\0000\\Device Parameters";
        RunResult r = Reg({"add", key, "/v", "PortName", "/t", "REG_SZ", "/d", "COM7", "/f"});
        ASSERT_EQ(r.code, 0) << Describe(r);
        r = Reg({"add", key, "/v", "LatencyTimer", "/t", "REG_DWORD", "/d", std::to_string(latencyMs), "/f"});
        ASSERT_EQ(r.code, 0) << Describe(r);
    }
};

TEST_F(WineAdapter, ALatencyTimerAbove1msIsToldWithWhereToSetIt) {
    StartSim();
    MapPorts({"", "", "", "", "", "", Sim()});
    FileAdapter(16);
    RunResult r = Cli({"-p", "COM7", "ports"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, kAdvice16)) << r.out;
    EXPECT_TRUE(Contains(r.out, kWhere)) << r.out;
    r = Cli({"--json", "-p", "COM7", "ports"});
    EXPECT_TRUE(Contains(r.out, "\"latency_timer_ms\":16")) << r.out;

    // The search before a flow names it once the instrument is found.
    r = Cli({"-p", "COM7", "search"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_EQ(Count(r.err, kAdvice16), 1) << r.err;

    FileAdapter(1);
    r = Cli({"-p", "COM7", "ports"});
    ASSERT_EQ(r.code, 0) << Describe(r);
    EXPECT_FALSE(Contains(r.out, "latency timer")) << r.out;
    r = Cli({"-p", "COM7", "search"});
    EXPECT_FALSE(Contains(r.err, "latency timer")) << r.err;
    StopSim();
}

} // namespace
} // namespace quillet::test
