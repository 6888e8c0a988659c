// Plug soak of --watch: one quillet-cli --all --watch on one port while
// instruments are plugged there one after another, each new one as soon as
// the last was served, most of them on the same pseudo-terminal node the
// one before had (its number given out again). Every instrument must be
// served, and none twice.
//
// QUILLET_PLUG_SOAK=N plugs N instruments (default 200).
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "cli/CliSupport.h"
#include "sim/lib/Simulator.h"

namespace quillet::test {
namespace {

constexpr std::size_t kDefaultPlugs = 200;
constexpr double kServeLimitS = 30;  // per instrument, on a loaded machine

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
    return n;
}

std::size_t Plugs() {
    const char* env = std::getenv("QUILLET_PLUG_SOAK");
    return env && std::atoi(env) > 0 ? static_cast<std::size_t>(std::atoi(env)) : kDefaultPlugs;
}

TEST(PlugSoak, EveryInstrumentPluggedOnOneNodeIsServedOnce) {
    const std::size_t plugs = Plugs();
    TempDir dir;
    const std::string port = dir / "line";
    std::filesystem::create_directories(dir / "sim");
    WriteFile(dir / "data/GENERATOR_FPGA.bin", RandomBytes(8 * 256, 21));
    CliProgram cli({"--ports", port, "fpga", "generator", "--all", "--watch"}, dir.Path());
    ASSERT_TRUE(cli.WaitForOutput([&] { return cli.Err().find("watching") != std::string::npos; }, 10)) << cli.Err();
    const std::string done = ": done";
    std::set<std::string> nodes;
    std::size_t sameNode = 0;
    for (std::size_t k = 0; k < plugs; ++k) {
        sim::Options o;
        o.searchReplyDelayMs = 0;
        o.outputDir = dir / "sim";
        sim::Simulator s(o);
        const std::string pty = s.OpenPty();
        ASSERT_FALSE(pty.empty());
        sameNode += nodes.count(pty);
        nodes.insert(pty);
        s.Start();
        const std::string next = port + ".next";
        ::unlink(next.c_str());
        ASSERT_EQ(::symlink(pty.c_str(), next.c_str()), 0);
        ASSERT_EQ(::rename(next.c_str(), port.c_str()), 0);
        ASSERT_TRUE(cli.WaitForOutput([&] { return Count(cli.Out(), done) == k + 1; }, kServeLimitS))
            << "plug " << k << " not served\n" << cli.Err().substr(0, 3000);
        EXPECT_EQ(s.GetSummary().searchFrames, 1u) << "plug " << k;
        s.Stop();
    }
    std::printf("[ info     ] %zu plugs, %zu on a node used before\n", plugs, sameNode);
    cli.Signal(SIGINT);
    const RunResult r = cli.Wait(20);
    EXPECT_EQ(r.code, 130) << r.err.substr(0, 3000);
    EXPECT_EQ(Count(r.out, done), plugs) << "an instrument was served twice";
    ::unlink(port.c_str());
}

} // namespace
} // namespace quillet::test
