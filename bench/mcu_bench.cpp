// Writing a 64 KiB main-MCU image through the bootloader exchange, with the
// flow's own pacing, beside the floor its fixed delays impose and beside
// Debian's stm32flash writing the same image to the same simulated
// bootloader in the same run.
#include <cstdlib>

#include "bench/BenchSupport.h"

using namespace quillet;
using namespace quillet::bench;

namespace {

// The fixed delays of the exchange: port reopen at 300 ms and the first
// sync at 600 ms; the pauses before Get, Get ID, the two Read Memory
// commands and the erase; the erase parts via timer 9 (10 ms, then 2000 ms
// before the first write command); per 128-byte piece 15 ms before the
// address, 15 ms before the data and 50 ms before the next write command.
double FloorMs(std::size_t imageBytes) {
    const double pieces = static_cast<double>((imageBytes + 127) / 128);
    const double setup = 600 + 100 + 50 + 50 + 50 + 50 + 50 + 50 + 10 + 10 + 10 + 2000;
    return setup + pieces * 30 + (pieces - 1) * 50;
}

} // namespace

int main() {
    namespace fs = std::filesystem;
    const fs::path dir = FreshDir("quillet-mcu-bench");
    fs::create_directories(dir / "data");
    const std::size_t size = 64 * 1024;
    const fs::path file = dir / "data" / "GENERATOR_MCU.bin";
    WriteRandomFile(file, size, 7);
    fs::current_path(dir);

    SimBench sims;
    sims.AddGenerator(dir);

    DialogBench d(sims.Map());
    if (!d.FindGenerator()) return 1;
    d.events.clear();
    const auto t0 = Clock::now();
    d.dlg->OnCommand(IDC_GENERATOR_MCU);
    d.host.RunUntil([&] { return d.Saw(FlowEvent::BootloaderDone); }, 300000);
    const double total = MsSince(t0);
    bool ok = false;
    for (const auto& e : d.events)
        if (e.event == FlowEvent::BootloaderDone) ok = e.a == 1;
    // Let timer 10 give the port up before the outside tool takes it.
    d.host.RunUntil([&] { return d.Saw(FlowEvent::PortClosed); }, 5000);
    d.host.RunUntil(nullptr, 300);

    const double floor = FloorMs(size);
    std::printf("main-MCU update of %zu bytes (%zu pieces of 128):\n", size, (size + 127) / 128);
    std::printf("  flow, button to last piece:   %8.0f ms (%s)\n", total, ok ? "every part acknowledged" : "FAILED");
    std::printf("  floor of the fixed delays:     %8.0f ms (the flow adds %.0f ms, %.2f ms per piece)\n", floor,
                total - floor, (total - floor) / static_cast<double>((size + 127) / 128));

    const std::string cmd = "timeout 300 stm32flash -b 115200 -m 8n1 -w '" + file.string() + "' '" +
                            sims.paths[0] + "' >/dev/null 2>&1";
    const auto t1 = Clock::now();
    const int rc = std::system(cmd.c_str());
    const double tool = MsSince(t1);
    if (rc == 0)
        std::printf("  stm32flash, same image and simulator: %8.0f ms\n", tool);
    else
        std::printf("  stm32flash did not run (exit %d): is the stm32flash package installed?\n", rc);
    return ok ? 0 : 1;
}
