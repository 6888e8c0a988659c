// The input-board firmware stream over a pseudo-terminal: bytes per second
// of firmware from the first chunk to the last, with the RAM loader
// download and set-up timed apart.
#include <filesystem>
#include <fstream>
#include <random>

#include "bench/BenchSupport.h"

using namespace quillet;
using namespace quillet::bench;

int main() {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "quillet-board-bench";
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<char> image(1024 * 1024);
    std::mt19937 rng(11);
    for (auto& c : image) c = static_cast<char>(rng());
    const fs::path file = dir / "board.bin";
    std::ofstream(file, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));

    SimBench sims;
    sim::Options gen;
    gen.searchReplyDelayMs = 0;
    gen.bannerDelayMs = 0;
    gen.outputDir = dir.string();
    sims.Add(gen);
    sims.Offer();

    DialogBench d;
    if (!d.Search(IDC_SEARCH_GENERATOR, nullptr)) {
        std::fprintf(stderr, "generator not found\n");
        return 1;
    }
    d.events.clear();
    d.host.QueueFileAnswer(file.string());
    const auto t0 = Clock::now();
    d.dlg->OnCommand(IDC_IN1);
    Clock::time_point firstChunk{};
    d.host.RunUntil(
        [&] {
            if (firstChunk == Clock::time_point{} && d.Saw(FlowEvent::InputBoardChunk)) firstChunk = Clock::now();
            return d.Saw(FlowEvent::InputBoardDone);
        },
        600000);
    const bool done = d.Saw(FlowEvent::InputBoardDone);
    const double setupMs = std::chrono::duration<double, std::milli>(firstChunk - t0).count();
    const double streamMs = MsSince(firstChunk);
    std::printf("input-board update of %zu bytes over a pty (%s):\n", image.size(), done ? "done" : "DID NOT FINISH");
    std::printf("  entry, RAM loader and set-up: %8.1f ms\n", setupMs);
    std::printf("  firmware stream:              %8.1f ms = %.0f bytes/s (the line carries 11,520 bytes/s)\n",
                streamMs, image.size() / (streamMs / 1000.0));
    return done ? 0 : 1;
}
