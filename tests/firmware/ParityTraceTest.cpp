// The main-MCU exchange reopens the real serial link at 8E1. A
// pseudo-terminal cannot carry parity, so the test runs the flow in a child
// process with libparitytrace.so preloaded: it records the line settings
// the link asks of the pty slave (and strips the parity bits before the
// kernel sees them). The child is this test program itself, running the
// disabled test below.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "FirmwareSupport.h"
#include "platform/EventLoopHost.h"
#include "serial/PortMap.h"

namespace quillet {
namespace {

constexpr const char* kLibrary = QUILLET_BINARY_DIR "/tests/helpers/paritytrace/libparitytrace.so";

std::string SelfPath() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = '\0';
    return path;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// Runs in the child, under the preloaded library.
TEST(ParityTraceChild, DISABLED_BootloaderReopensTheLink) {
    const char* log = std::getenv("PARITYTRACE_LOG");
    ASSERT_NE(log, nullptr);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    std::ofstream(log, std::ios::app) << "slave " << slave << "\n";
    // This pty stands for the simulator's: its far end keeps the parity.
    setenv("QUILLET_SIM_PTYS", slave.c_str(), 1);

    test::ScratchDir scratch;
    scratch.Write("data/GENERATOR_MCU.bin", test::Pattern(128));

    EventLoopHost host;
    bool sync = false;
    {
        CLoaderDlg dlg(host, PortMap::FromList(slave));
        int started = 0;
        dlg.SetEventSink([&](const FlowEventInfo& e) { started += e.event == FlowEvent::BootloaderStarted; });
        dlg.OnInitDialog();
        dlg.OnPortButton();
        ASSERT_TRUE(dlg.IsPortOpen());
        dlg.StartMcuBootloader();
        host.RunUntil(
            [&] {
                std::uint8_t buf[64];
                ssize_t n;
                while ((n = ::read(master, buf, sizeof buf)) > 0)
                    for (ssize_t i = 0; i < n; ++i) sync = sync || buf[i] == 0x7F;
                return sync;
            },
            5000);
        // The even parity itself is in the trace the parent reads.
        EXPECT_EQ(dlg.CurrentFlow().kind, FlowKind::McuBootloader);
        EXPECT_EQ(started, 1);
        dlg.OnPortButton();  // ends the exchange and closes the link
    }
    ::close(master);
    EXPECT_TRUE(sync) << "no sync byte reached the far end";
}

TEST(ParityTraceTest, BootloaderReopensThePortAt8E1) {
    ASSERT_EQ(::access(kLibrary, R_OK), 0) << kLibrary << " has not been built";
    const std::string self = SelfPath();
    ASSERT_FALSE(self.empty());
    const auto dir = std::filesystem::temp_directory_path();
    const std::string tag = std::to_string(::getpid());
    const std::string log = (dir / ("quillet-paritytrace-" + tag + ".log")).string();
    const std::string out = (dir / ("quillet-paritytrace-" + tag + ".out")).string();
    std::filesystem::remove(log);

    std::string asan = "verify_asan_link_order=0";
    if (const char* a = std::getenv("ASAN_OPTIONS"); a && *a) asan = std::string(a) + ":" + asan;
    const std::string cmd = "LD_PRELOAD=" + Quoted(kLibrary) + " PARITYTRACE_LOG=" + Quoted(log) +
                            " ASAN_OPTIONS=" + Quoted(asan) + " " + Quoted(self) +
                            " --gtest_also_run_disabled_tests"
                            " --gtest_filter=ParityTraceChild.DISABLED_BootloaderReopensTheLink >" +
                            Quoted(out) + " 2>&1";
    const int rc = std::system(cmd.c_str());
    std::stringstream childOutput;
    childOutput << std::ifstream(out).rdbuf();
    std::filesystem::remove(out);
    ASSERT_EQ(rc, 0) << childOutput.str();

    // The requests for the child's pty slave, in order.
    std::ifstream in(log);
    std::string line;
    std::string slave;
    std::vector<std::string> requests;
    while (std::getline(in, line)) {
        if (line.rfind("slave ", 0) == 0) slave = line.substr(6);
        else if (!slave.empty() && line.find(" tty=" + slave + " ") != std::string::npos) requests.push_back(line);
    }
    std::filesystem::remove(log);
    ASSERT_FALSE(slave.empty());
    ASSERT_GE(requests.size(), 2u) << childOutput.str();
    // First the port button's 8N1, then the reopen at 8E1.
    EXPECT_NE(requests.front().find("parenb=0"), std::string::npos) << requests.front();
    EXPECT_NE(requests.front().find("cs8=1"), std::string::npos) << requests.front();
    bool even = false;
    for (std::size_t i = 1; i < requests.size(); ++i) {
        if (requests[i].find("parenb=1 parodd=0 cs8=1 cstopb=0") != std::string::npos) even = true;
        EXPECT_EQ(requests[i].find("parodd=1"), std::string::npos) << requests[i];
    }
    EXPECT_TRUE(even) << "no request for 8E1 after the first open";
}

} // namespace
} // namespace quillet
