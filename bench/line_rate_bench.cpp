// A stream of 1,000 block frames (as a user pattern goes out, 270 bytes out
// and a 13-byte acknowledgement back per block) from the dialog over the
// real serial link to the simulator paced at 115200 baud, against the
// physical floor of the line: 1,000 x 283 bytes x 10 bits / 115200 baud.
// Takes about 25 seconds.
#include "bench/BenchSupport.h"

using namespace quillet;
using namespace quillet::bench;

int main() {
    constexpr unsigned kBaud = 115200;
    constexpr unsigned kBlocks = 1000;
    const auto dir = FreshDir("quillet-line-rate-bench");
    const auto image = dir / "stream.bin";
    WriteRandomFile(image, std::size_t(kBlocks) * 256, 5);

    SimBench sims;
    sim::Options gen;
    gen.searchReplyDelayMs = 0;
    gen.outputDir = dir.string();
    gen.baud = kBaud;
    sims.Add(gen);

    DialogBench d(sims.Map());
    if (!d.FindGenerator()) return 1;
    Clock::time_point first{};
    long long sent = 0;
    bool finished = false, done = false;
    d.dlg->SetEventSink([&](const FlowEventInfo& e) {
        if (e.event == FlowEvent::BlockSent) {
            if (sent++ == 0) first = Clock::now();
        } else if (e.event == FlowEvent::StreamFinished) {
            finished = true;
        } else if (e.event == FlowEvent::BlockAcked && finished && e.a == 0) {
            done = true;
        }
    });
    d.host.QueueFileAnswer(image.string());
    d.dlg->OnCommand(IDC_AUX_FPGA);
    d.host.RunUntil([&] { return done; }, 120000);
    const double ms = MsSince(first);
    const double floorMs = kBlocks * 283.0 * 10.0 * 1000.0 / kBaud;
    std::printf("paced simulator at %u baud: %lld blocks from the first block sent to the last "
                "acknowledgement in %.0f ms (%s)\n",
                kBaud, sent, ms, done ? "last block acknowledged" : "DID NOT FINISH");
    std::printf("floor: %u x 283 bytes x 10 bits / %u = %.0f ms\n", kBlocks, kBaud, floorMs);
    std::printf("measured / floor: %.4f (%.2f %% above; target: at most 2 %%), %.0f us per block "
                "above the line time\n",
                ms / floorMs, 100.0 * (ms / floorMs - 1.0), 1000.0 * (ms - floorMs) / kBlocks);
    return done ? 0 : 1;
}
