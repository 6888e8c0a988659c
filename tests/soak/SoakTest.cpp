// Fault soak: many short flows of quillet-cli against the simulator over
// pseudo-terminals, each with a fault drawn at random: the cable pulled or
// the instrument hung after a number of bytes, acknowledgements that stop,
// noise before the acknowledgements, blocks asked for again, bootloader
// writes refused. Every run must end on its own (a watchdog kills it and
// fails the test otherwise) with exit 0, 1 or 3 and a message; exit 0 only
// when what the instrument stored is the image; a fault the flow can live
// with (noise, resend requests) must not fail it.
//
// The runs go on for QUILLET_SOAK_SECONDS (default 45) and print a tally.
// The seed is printed; QUILLET_SOAK_SEED=S repeats the runs of seed S, and
// QUILLET_SOAK_RUN=K with it repeats run K alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cli/CliSupport.h"
#include "sim/lib/Simulator.h"

namespace quillet::test {
namespace {

enum class Flow { Panel, Fpga, InputBoard, Mcu, Pattern };
enum class Fault { None, Unplug, Stall, Noise, Resend, Nack };

const char* FlowName(Flow f) {
    switch (f) {
    case Flow::Panel: return "panel";
    case Flow::Fpga: return "fpga aux";
    case Flow::InputBoard: return "input-board";
    case Flow::Mcu: return "mcu --fast";
    case Flow::Pattern: return "pattern";
    }
    return "?";
}

const char* FaultName(Fault f) {
    switch (f) {
    case Fault::None: return "none";
    case Fault::Unplug: return "unplug";
    case Fault::Stall: return "stall";
    case Fault::Noise: return "noise";
    case Fault::Resend: return "resend";
    case Fault::Nack: return "nack";
    }
    return "?";
}

const char* OutcomeName(int code) {
    switch (code) {
    case 0: return "done";
    case 1: return "failed";
    case 3: return "timed out";
    default: return "other";
    }
}

// A 24-bit BMP, rows bottom to top, of random pixels; `rgb` gets them top
// to bottom.
std::vector<std::uint8_t> RandomBmp(int width, int height, std::mt19937& rng, std::vector<std::uint8_t>& rgb) {
    const std::uint32_t row = static_cast<std::uint32_t>((width * 3 + 3) & ~3);
    const std::uint32_t size = 54 + row * static_cast<std::uint32_t>(height);
    std::vector<std::uint8_t> bmp(size, 0);
    auto put = [&](std::size_t at, std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) bmp[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    bmp[0] = 'B';
    bmp[1] = 'M';
    put(2, size, 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, static_cast<std::uint32_t>(width), 4);
    put(22, static_cast<std::uint32_t>(height), 4);
    put(26, 1, 2);
    put(28, 24, 2);
    put(34, row * static_cast<std::uint32_t>(height), 4);
    rgb.assign(static_cast<std::size_t>(width * height * 3), 0);
    for (auto& b : rgb) b = static_cast<std::uint8_t>(rng());
    for (int y = 0; y < height; ++y) {
        const std::size_t at = 54 + static_cast<std::size_t>(height - 1 - y) * row;
        for (int x = 0; x < width; ++x) {
            const std::size_t p = static_cast<std::size_t>((y * width + x) * 3);
            bmp[at + static_cast<std::size_t>(x) * 3] = rgb[p + 2];
            bmp[at + static_cast<std::size_t>(x) * 3 + 1] = rgb[p + 1];
            bmp[at + static_cast<std::size_t>(x) * 3 + 2] = rgb[p];
        }
    }
    return bmp;
}

// `stored` is `data`, then at most `slack` bytes of `fill`.
bool StoredIs(const std::vector<std::uint8_t>& stored, const std::vector<std::uint8_t>& data, std::uint8_t fill,
              std::size_t slack) {
    if (stored.size() < data.size() || stored.size() > data.size() + slack) return false;
    if (!std::equal(data.begin(), data.end(), stored.begin())) return false;
    return std::all_of(stored.begin() + static_cast<long>(data.size()), stored.end(),
                       [fill](std::uint8_t b) { return b == fill; });
}

struct SoakRun {
    Flow flow;
    Fault fault;
    std::vector<std::string> args;   // after --ports DEVICE
    std::string stored;              // the simulator's file of the flow
    std::vector<std::uint8_t> data;  // what it must hold
    std::uint8_t fill = 0;           // padding after the data
    std::size_t slack = 0;
    std::size_t skip = 0;            // bytes of the stored file before the data
    std::string describe;            // the fault in words
    int expect = 0;                  // the exit code once the fault has struck
};

// Draws run `index` of `seed`: the flow, its file, the fault; writes the
// file into `dir` and sets the simulator's options.
SoakRun Draw(std::uint32_t seed, unsigned index, const TempDir& dir, sim::Options& o) {
    std::mt19937 rng(seed * 7919u + index);
    auto pick = [&](unsigned lo, unsigned hi) { return std::uniform_int_distribution<unsigned>(lo, hi)(rng); };
    SoakRun run{};
    // A whole pattern is 24,300 blocks, seconds of upload: one run in six
    // is a pattern upload that meets its fault early.
    run.flow = static_cast<Flow>(pick(0, 5) == 0 ? 4 : pick(0, 3));
    std::vector<Fault> faults = {Fault::None, Fault::Unplug, Fault::Stall};
    std::uint64_t bytes = 10;    // what the flow sends in all, roughly
    std::uint32_t firstBlock = 0, blocks = 0;
    unsigned firstFaultByte = 0;
    const std::string timeout = pick(0, 1) ? "1" : "2";
    switch (run.flow) {
    case Flow::Panel: {
        const unsigned slot = pick(1, 4);
        std::vector<std::uint8_t> rgb;
        WriteFile(dir / "panel.bmp", RandomBmp(240, 160, rng, rgb));
        run.args = {"--timeout", timeout, "panel", "--slot", std::to_string(slot), dir / "panel.bmp"};
        run.stored = "panel_slot" + std::to_string(slot) + ".bin";
        run.data = Rgb565(rgb);
        firstBlock = 300 * slot + 11100;
        blocks = 300;
        bytes += 300 * 270;
        faults.insert(faults.end(), {Fault::Noise, Fault::Resend});
        break;
    }
    case Flow::Fpga: {
        const unsigned size = pick(256, 40 * 256);
        run.data = RandomBytes(size, rng());
        WriteFile(dir / "aux.bin", run.data);
        run.args = {"--timeout", timeout, "fpga", "aux", dir / "aux.bin"};
        run.stored = "aux_fpga.bin";
        run.slack = 255;
        blocks = (size + 255) / 256;
        bytes += blocks * 270;
        faults.insert(faults.end(), {Fault::Noise, Fault::Resend});
        break;
    }
    case Flow::InputBoard: {
        const unsigned board = pick(1, 4);
        const unsigned size = pick(100, 6000);
        run.data = RandomBytes(size, rng());
        WriteFile(dir / "board.bin", run.data);
        run.args = {"--timeout", timeout, "input-board", std::to_string(board), dir / "board.bin"};
        run.stored = "input_board" + std::to_string(board) + ".bin";
        bytes += 2 * size;  // the RAM loader, the chunks
        break;
    }
    case Flow::Pattern: {
        const unsigned slot = pick(1, 4);
        std::vector<std::uint8_t> rgb;
        const std::vector<std::uint8_t> bmp = RandomBmp(1920, 1080, rng, rgb);
        WriteFile(dir / "pattern.bmp", bmp);
        run.args = {"--timeout", timeout, "pattern", "--slot", std::to_string(slot), dir / "pattern.bmp"};
        run.stored = "pattern_slot" + std::to_string(slot) + ".bmp";
        // The simulator stores a BMP of the same layout: the pixels from byte 54 on.
        run.data.assign(bmp.begin() + 54, bmp.end());
        run.skip = 54;
        o.eraseTimeMs = pick(50, 800);
        blocks = 24300;
        // The cable pulled or the instrument hung once the slot command is
        // complete (before it, the upload would sit out the whole erase
        // wait), within the first 3,000 blocks.
        firstFaultByte = 10 + 28;
        bytes = firstFaultByte + 3000 * 270;
        faults = {Fault::Unplug, Fault::Stall};
        break;
    }
    case Flow::Mcu: {
        const unsigned size = pick(100, 1500);
        run.data = RandomBytes(size, rng());
        std::filesystem::create_directories(dir / "data");
        WriteFile(dir / "data/GENERATOR_MCU.bin", run.data);
        run.args = {"--timeout", timeout, "mcu", "generator", "--fast"};
        run.stored = "mcu_flash.bin";
        run.fill = 0xFF;
        run.slack = 255;
        blocks = (size + 127) / 128;
        bytes += 60 + blocks * 137;
        faults.push_back(Fault::Nack);
        break;
    }
    }
    run.fault = faults[pick(0, static_cast<unsigned>(faults.size() - 1))];
    switch (run.fault) {
    case Fault::None: run.describe = "none"; break;
    case Fault::Unplug:
        o.unplugAfterBytes = pick(firstFaultByte, static_cast<unsigned>(bytes));
        run.describe = "unplugged after " + std::to_string(o.unplugAfterBytes) + " bytes";
        run.expect = 1;
        break;
    case Fault::Stall:
        if (blocks && run.flow != Flow::Mcu && pick(0, 1)) {
            o.stopAfterBlocks = pick(0, std::min(blocks, 3000u) - 1);
            run.describe = "no acknowledgement after " + std::to_string(o.stopAfterBlocks) + " blocks";
        } else {
            o.silentAfterBytes = pick(firstFaultByte, static_cast<unsigned>(bytes));
            run.describe = "silent after " + std::to_string(o.silentAfterBytes) + " bytes";
        }
        // Silent before the search frame is complete: no instrument is found.
        run.expect = o.silentAfterBytes >= 0 && o.silentAfterBytes < 10 ? 1 : 3;
        break;
    case Fault::Noise:
        o.noiseBytes = pick(1, 40);
        o.noiseSeed = rng() | 1;
        run.describe = std::to_string(o.noiseBytes) + " noise bytes before each acknowledgement";
        break;
    case Fault::Resend:
        for (unsigned i = pick(1, 5); i > 0; --i) o.resendBlocks.insert(firstBlock + pick(0, blocks - 1));
        run.describe = "resend requests for " + std::to_string(o.resendBlocks.size()) + " blocks";
        break;
    case Fault::Nack: {
        const unsigned write = pick(0, blocks - 1);
        o.nackWrites = {write};
        run.describe = "write " + std::to_string(write) + " refused";
        run.expect = 1;
        break;
    }
    }
    return run;
}

// The last line of stderr that is no progress line or stage name (the
// progress display draws its final state after a box). A box's text may
// hold a lone carriage return: lines end at line feeds only.
std::string LastMessage(const std::string& text) {
    std::string last, line;
    for (char c : text + "\n") {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (!line.empty() && line.rfind("progress", 0) != 0 && line.find(' ') != std::string::npos) last = line;
        line.clear();
    }
    return last;
}

// What is wrong with the run's end; empty when nothing.
std::string Judge(const SoakRun& run, const RunResult& r, const std::string& simDir) {
    if (r.timedOut) return "the command did not end (killed by the watchdog)";
    if (r.code != 0 && r.code != 1 && r.code != 3) return "exit code " + std::to_string(r.code);
    if (r.code == 0) {
        std::vector<std::uint8_t> stored = ReadFile(simDir + "/" + run.stored);
        stored.erase(stored.begin(), stored.begin() + static_cast<long>(std::min(run.skip, stored.size())));
        if (stored.empty()) return "success reported, the instrument stored nothing";
        if (!StoredIs(stored, run.data, run.fill, run.slack)) return "success reported, the instrument stored other data";
        if (r.out.find("done") == std::string::npos && r.out.find("updated") == std::string::npos)
            return "success without a result line";
        return "";
    }
    if (LastMessage(r.err).find(": ") == std::string::npos) return "a failure without a message";
    if (run.fault == Fault::None || run.fault == Fault::Noise || run.fault == Fault::Resend)
        return "a fault the flow lives with ended it";
    if (r.code != run.expect) return "exit " + std::to_string(r.code) + ", not " + std::to_string(run.expect);
    return "";
}

TEST(Soak, EveryFaultEndsTheFlowWithTheRightExitCodeAndAMessage) {
    const char* seedText = std::getenv("QUILLET_SOAK_SEED");
    const char* runText = std::getenv("QUILLET_SOAK_RUN");
    const char* secondsText = std::getenv("QUILLET_SOAK_SECONDS");
    const std::uint32_t seed = seedText ? static_cast<std::uint32_t>(std::strtoul(seedText, nullptr, 10))
                                        : std::random_device{}();
    const double budget = secondsText ? std::atof(secondsText) : 45;
    std::printf("soak seed %u (repeat with QUILLET_SOAK_SEED=%u)\n", seed, seed);

    std::map<std::string, std::map<std::string, unsigned>> tally;  // fault -> outcome -> runs
    std::map<std::string, unsigned> perFlow;
    unsigned runs = 0;
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    for (unsigned index = runText ? static_cast<unsigned>(std::atoi(runText)) : 0;; ++index) {
        if (runText ? runs == 1 : elapsed() >= budget) break;
        TempDir dir;
        sim::Options o;
        o.outputDir = dir / "sim";
        std::filesystem::create_directories(o.outputDir);
        const SoakRun run = Draw(seed, index, dir, o);
        std::FILE* log = std::fopen((dir / "sim.log").c_str(), "w");
        o.log = log ? log : stderr;
        sim::Simulator simulator(o);
        const std::string device = simulator.OpenPty();
        // The simulator keeps the bootloader's parity on its pty (as quillet-sim announces).
        setenv("QUILLET_SIM_PTYS", device.c_str(), 1);
        ASSERT_FALSE(device.empty());
        simulator.Start();
        std::vector<std::string> args = {"--ports", device};
        args.insert(args.end(), run.args.begin(), run.args.end());
        // The watchdog: a flow this small ends in a few seconds whatever
        // the fault (the search, then at most --timeout without an answer).
        const RunResult r = RunCli(args, dir.Path(), 20);
        simulator.Stop();
        if (log) std::fclose(log);
        ++runs;
        ++perFlow[FlowName(run.flow)];
        ++tally[FaultName(run.fault)][r.timedOut ? "hung" : OutcomeName(r.code)];
        const std::string wrong = Judge(run, r, o.outputDir);
        EXPECT_TRUE(wrong.empty()) << "soak seed " << seed << " run " << index << " (QUILLET_SOAK_SEED=" << seed
                                   << " QUILLET_SOAK_RUN=" << index << "): " << FlowName(run.flow) << ", "
                                   << run.describe << ": " << wrong << "\nexit " << r.code << " after "
                                   << r.seconds << " s\nstdout:\n" << r.out << "\nstderr:\n"
                                   << r.err.substr(0, 3000);
    }
    std::printf("soak: %u runs in %.1f s (seed %u)\n", runs, elapsed(), seed);
    for (const auto& [flow, n] : perFlow) std::printf("  %-12s %u runs\n", flow.c_str(), n);
    for (const auto& [fault, outcomes] : tally) {
        std::printf("  %-8s", fault.c_str());
        for (const auto& [outcome, n] : outcomes) std::printf("  %s %u", outcome.c_str(), n);
        std::printf("\n");
    }
    EXPECT_GT(runs, 0u);
}

} // namespace
} // namespace quillet::test
