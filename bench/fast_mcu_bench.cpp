// mcu --fast: a 64 KiB main-MCU image through the bootloader exchange paced
// by the bootloader's own acknowledgements, against a simulator whose line
// runs at 115200 baud with even parity (11 bits a byte, as the STM32
// bootloader's line does). Printed beside it: the floor of the exchange's
// bytes on the line in both directions (the simulator's erase takes no time
// of its own), and Debian's stm32flash writing the same image to the same
// simulator in the same run; with and without reading the flash back.
#include <cstdlib>

#include "bench/BenchSupport.h"
#include "cli/TrafficPort.h"
#include "serial/SerialLink.h"

using namespace quillet;
using namespace quillet::bench;

namespace {

struct Exchange {
    bool ok = false;
    double ms = 0;                   // first sync byte to the verdict
    std::uint64_t bytesOut = 0, bytesIn = 0;  // of the exchange itself
};

// One update by the dialog, paced by the answers: from the boot-mode
// command (the generator found first) to the verdict.
Exchange Update(const PortMap& map, bool verify) {
    EventLoopHost host;
    host.onMessageBox = [](const EventLoopHost::Box& b) {
        std::fprintf(stderr, "  (box) %s: %s\n", b.caption.c_str(), b.text.c_str());
    };
    cli::TrafficPort port(std::make_unique<CSerialLink>(host, map), map);
    CLoaderDlg dlg(host, &port);
    std::vector<FlowEventInfo> events;
    Clock::time_point started;
    std::uint64_t outAtStart = 0, inAtStart = 0;
    Exchange x;
    dlg.SetEventSink([&](const FlowEventInfo& e) {
        events.push_back(e);
        if (e.event == FlowEvent::BootloaderStarted) {
            started = Clock::now();
            // The first sync byte has just been queued.
            outAtStart = port.BytesWritten() - 1;
            inAtStart = port.BytesReceived();
        }
        if (e.event == FlowEvent::BootloaderDone) {
            x.ms = MsSince(started);
            x.ok = e.a == 1;
            x.bytesOut = port.BytesWritten() - outAtStart;
            x.bytesIn = port.BytesReceived() - inAtStart;
        }
    });
    dlg.OnInitDialog();
    auto saw = [&](FlowEvent f) {
        for (const auto& e : events)
            if (e.event == f) return true;
        return false;
    };
    dlg.OnCommand(IDC_SEARCH_GENERATOR);
    host.RunUntil([&] { return saw(FlowEvent::SearchFound) || saw(FlowEvent::SearchFailed); }, 20000);
    if (!saw(FlowEvent::SearchFound)) {
        std::fprintf(stderr, "generator not found\n");
        return x;
    }
    McuUpdate update;
    update.exchange.pacedByAnswers = true;
    update.exchange.stepTimeoutMs = 10000;
    update.exchange.verifyAfterWrite = verify;
    dlg.UpdateMainMcu(update);
    host.RunUntil([&] { return saw(FlowEvent::BootloaderDone); }, 120000);
    host.RunUntil([&] { return saw(FlowEvent::PortClosed); }, 5000);
    return x;
}

double Stm32flash(const std::string& file, const std::string& device, bool verify) {
    const std::string cmd = "timeout 300 stm32flash -b 115200 -m 8n1 -w '" + file + "'" + (verify ? " -v" : "") +
                            " '" + device + "' >/dev/null 2>&1";
    const auto t0 = Clock::now();
    const int rc = std::system(cmd.c_str());
    return rc == 0 ? MsSince(t0) : -1;
}

} // namespace

int main() {
    namespace fs = std::filesystem;
    const fs::path dir = FreshDir("quillet-fast-mcu-bench");
    fs::create_directories(dir / "data");
    const std::size_t size = 64 * 1024;
    const fs::path file = dir / "data" / "GENERATOR_MCU.bin";
    WriteRandomFile(file, size, 11);
    fs::current_path(dir);

    SimBench sims;
    sim::Options gen;
    gen.searchReplyDelayMs = 0;
    gen.bannerDelayMs = 0;
    gen.baud = 115200;
    gen.outputDir = dir.string();
    sims.Add(gen);

    std::printf("main-MCU update of %zu bytes (%zu pieces of 128), mcu --fast, line at 115200 baud 8E1:\n", size,
                (size + 127) / 128);
    bool ok = true;
    for (const bool verify : {false, true}) {
        const Exchange x = Update(sims.Map(), verify);
        // 11 bits a byte: start, 8 data, parity, stop.
        const double floorMs = static_cast<double>(x.bytesOut + x.bytesIn) * 11 * 1000 / 115200.0;
        const std::uint64_t toolBefore = sims.sims[0]->GetSummary().bytesReceived;
        const double tool = Stm32flash(file.string(), sims.paths[0], verify);
        // stm32flash writes 256-byte blocks, so it sends fewer bytes than the
        // instrument's exchange of 128-byte pieces (the time its own bytes
        // take on the line).
        const std::uint64_t toolOut = sims.sims[0]->GetSummary().bytesReceived - toolBefore;
        const double toolFloorMs = static_cast<double>(toolOut) * 11 * 1000 / 115200.0;
        std::printf("  %s\n", verify ? "write and read back (--verify; stm32flash -v)" : "write");
        std::printf("    --fast, first sync to verdict:     %8.0f ms (%s)\n", x.ms,
                    x.ok ? "every part acknowledged" : "FAILED");
        std::printf("    floor of its %llu + %llu bytes:  %8.0f ms (the exchange is %.1f %% above it)\n",
                    static_cast<unsigned long long>(x.bytesOut), static_cast<unsigned long long>(x.bytesIn), floorMs,
                    floorMs > 0 ? (x.ms / floorMs - 1) * 100 : 0.0);
        if (tool >= 0)
            std::printf("    stm32flash, same image and line:   %8.0f ms (--fast takes %.2fx its time;\n"
                        "      it sends %llu bytes, %.0f ms on the line, where --fast sends %llu)\n",
                        tool, x.ms / tool, static_cast<unsigned long long>(toolOut), toolFloorMs,
                        static_cast<unsigned long long>(x.bytesOut));
        else
            std::printf("    stm32flash did not run: is the stm32flash package installed?\n");
        ok = ok && x.ok;
    }
    return ok ? 0 : 1;
}
