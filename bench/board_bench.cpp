// The input-board firmware stream over a pseudo-terminal: bytes per second
// of firmware from the first chunk to the last, with the RAM loader
// download and set-up timed apart.
#include "bench/BenchSupport.h"

using namespace quillet;
using namespace quillet::bench;

int main() {
    namespace fs = std::filesystem;
    const fs::path dir = FreshDir("quillet-board-bench");
    const std::size_t size = 1024 * 1024;
    const fs::path file = dir / "board.bin";
    WriteRandomFile(file, size, 11);

    SimBench sims;
    sims.AddGenerator(dir);

    DialogBench d(sims.Map());
    if (!d.FindGenerator()) return 1;
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
    std::printf("input-board update of %zu bytes over a pty (%s):\n", size, done ? "done" : "DID NOT FINISH");
    std::printf("  entry, RAM loader and set-up: %8.1f ms\n", setupMs);
    std::printf("  firmware stream:              %8.1f ms = %.0f bytes/s (the line carries 11,520 bytes/s)\n",
                streamMs, size / (streamMs / 1000.0));
    return done ? 0 : 1;
}
