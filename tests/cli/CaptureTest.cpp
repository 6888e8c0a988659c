// The traffic capture: a fixed script of quillet-cli runs, one for each
// flow, against the simulator on a pseudo-terminal. The bytes the
// instrument received in each run are hashed (their timing is not). The
// hashes are those of the program as released: a change that moves code
// must leave every one of them as it is. A hash that changes on purpose (a
// new byte on the wire that the instrument needs) is updated here in the
// same commit, saying why.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliSupport.h"
#include "discovery/DeviceKinds.h"
#include "sim/lib/Simulator.h"

namespace quillet::test {
namespace {

// FNV-1a, 64 bits: enough to tell one byte sequence from another here.
std::uint64_t Fnv1a(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (std::uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001b3ull;
    }
    return h;
}

std::string Hex(std::uint64_t v) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
    return text;
}

// A 24-bit bottom-up BMP of `width` x `height` whose pixels follow from
// their place alone, so the picture is the same on every run.
std::vector<std::uint8_t> PatternBmp(int width, int height) {
    const int row = (width * 3 + 3) / 4 * 4;
    const std::uint32_t pixels = static_cast<std::uint32_t>(row * height);
    std::vector<std::uint8_t> f(54 + pixels, 0);
    auto put32 = [&f](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) f[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    f[0] = 'B';
    f[1] = 'M';
    put32(2, static_cast<std::uint32_t>(f.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<std::uint32_t>(width));
    put32(22, static_cast<std::uint32_t>(height));
    f[26] = 1;
    f[28] = 24;
    put32(34, pixels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &f[54 + static_cast<std::size_t>(y * row + x * 3)];
            p[0] = static_cast<std::uint8_t>(x * 7 + y);
            p[1] = static_cast<std::uint8_t>(y * 3 ^ x);
            p[2] = static_cast<std::uint8_t>((x + y) / 5);
        }
    return f;
}

struct CaptureRun {
    std::string name;
    std::vector<std::string> args;
    std::uint8_t kind = kGroupGenerator;
    bool startInBootloader = false;
    std::string expected;  // FNV-1a of the bytes received (the fast exchange sends the same as the paced one)
};

class Capture : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        std::filesystem::create_directories(dir / "data");
        WriteFile(dir / "image.bmp", PatternBmp(1920, 1080));
        WriteFile(dir / "data/GENERATOR_FPGA.bin", RandomBytes(3000, 31));
        WriteFile(dir / "data/GENERATOR_MCU.bin", RandomBytes(1000, 32));
        WriteFile(dir / "aux.bin", RandomBytes(700, 33));
        WriteFile(dir / "board.bin", RandomBytes(2500, 34));
        WriteFile(dir / "analyzer.bin", RandomBytes(1300, 35));
    }

    // Runs the script entry against a fresh simulator; the hash of what it received.
    std::string Received(const CaptureRun& run) {
        sim::Options o;
        o.kind = run.kind;
        o.startInBootloader = run.startInBootloader;
        o.outputDir = dir / ("sim-" + run.name);
        o.log = stderr;
        std::filesystem::create_directories(o.outputDir);
        sim::Simulator simulator(o);
        const std::string device = simulator.OpenPty();
        EXPECT_FALSE(device.empty());
        simulator.Start();
        // The simulator's pty may stand in for an 8E1 line (the MCU runs).
        setenv("QUILLET_SIM_PTYS", device.c_str(), 1);
        std::vector<std::string> args = {"-p", device};
        args.insert(args.end(), run.args.begin(), run.args.end());
        const RunResult r = RunCli(args, dir.Path(), 120);
        simulator.Stop();
        EXPECT_EQ(r.code, 0) << run.name << "\n" << r.out << r.err;
        return Hex(Fnv1a(simulator.Received()));
    }
};

TEST_F(Capture, EveryFlowSendsTheSameBytesAsReleased) {
    const std::vector<CaptureRun> script = {
        {"search", {"search"}, kGroupGenerator, false, "d241428cee9005f7"},
        {"pattern", {"pattern", "--slot", "2", "image.bmp"}, kGroupGenerator, false, "71dabf098204ae7d"},
        {"panel", {"panel", "--slot", "3", "image.bmp"}, kGroupGenerator, false, "f94417eafd284113"},
        {"fpga", {"fpga", "generator"}, kGroupGenerator, false, "107da410f0a97fdf"},
        {"fpga-aux", {"fpga", "aux", "aux.bin"}, kGroupGenerator, false, "dff1f7946900d71f"},
        {"mcu", {"mcu", "generator"}, kGroupGenerator, false, "0b69d06562c95714"},
        {"mcu-direct", {"mcu", "generator", "--direct", "--verify"}, kGroupGenerator, true, "5936bc6990c3a00c"},
        {"mcu-fast", {"mcu", "generator", "--fast"}, kGroupGenerator, false, "0b69d06562c95714"},
        {"input-board", {"input-board", "2", "board.bin"}, kGroupGenerator, false, "d1a35955de6c38e2"},
        {"analyzer-data", {"analyzer-data", "analyzer.bin"}, kGroupAnalyzer, false, "184e6d0515b592b7"},
    };
    for (const CaptureRun& run : script) {
        const std::string hash = Received(run);
        EXPECT_EQ(hash, run.expected) << run.name;
    }
}

} // namespace
} // namespace quillet::test
