// The full 24,300-block user-pattern upload over a pseudo-terminal to a
// simulator that answers at once: blocks per second and peak memory, beside
// the bare cost of the same exchange (write 270 bytes, read a 13-byte
// answer) over a pseudo-terminal pair measured in the same run.
#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "bench/BenchSupport.h"
#include "pattern/SamplePattern.h"

using namespace quillet;
using namespace quillet::bench;

namespace {

bool ReadAll(int fd, std::uint8_t* p, std::size_t n) {
    while (n) {
        const ssize_t r = read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// Bare exchange: the program side writes 270 bytes and waits for 13.
double BareExchangesPerSecond(unsigned rounds) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return 0;
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    std::thread peer([&] {
        std::uint8_t frame[270], ack[13] = {};
        for (unsigned i = 0; i < rounds; ++i) {
            if (!ReadAll(master, frame, sizeof frame)) return;
            if (write(master, ack, sizeof ack) != sizeof ack) return;
        }
    });
    std::uint8_t frame[270] = {}, ack[13];
    const auto t0 = Clock::now();
    for (unsigned i = 0; i < rounds; ++i) {
        if (write(slave, frame, sizeof frame) != sizeof frame) break;
        if (!ReadAll(slave, ack, sizeof ack)) break;
    }
    const double ms = MsSince(t0);
    peer.join();
    close(master);
    close(slave);
    return rounds / (ms / 1000.0);
}

} // namespace

int main() {
    namespace fs = std::filesystem;
    const fs::path dir = FreshDir("quillet-upload-bench");
    const std::string image = (dir / "sample.bmp").string();
    if (!WriteSamplePatternBmp(image)) {
        std::fprintf(stderr, "cannot write %s\n", image.c_str());
        return 1;
    }

    const double bare = BareExchangesPerSecond(24300);

    SimBench sims;
    sims.AddGenerator(dir);

    DialogBench d(sims.Map());
    if (!d.FindGenerator()) return 1;
    d.host.QueueFileAnswer(image);
    d.dlg->OnCommand(IDC_LOAD_IMAGE);
    d.host.SetItemText(IDC_PATTERN_NO, "1");
    d.events.clear();
    const long rssBefore = PeakRssKb();

    Clock::time_point first{};
    long long lastAck = -1, blocks = 0;
    bool finished = false, doneOk = false;
    d.dlg->SetEventSink([&](const FlowEventInfo& e) {
        if (e.event == FlowEvent::BlockSent) {
            if (blocks++ == 0) first = Clock::now();
        } else if (e.event == FlowEvent::StreamFinished) {
            finished = true;
        } else if (e.event == FlowEvent::BlockAcked) {
            lastAck = e.a;
            if (finished && e.a == 0) doneOk = true;
        }
    });
    d.dlg->OnCommand(IDC_NAND_FLASH);
    d.host.RunUntil([&] { return doneOk; }, 600000);
    const double ms = MsSince(first);
    const double rate = blocks / (ms / 1000.0);

    std::printf("pattern upload: %lld blocks in %.0f ms = %.0f blocks/s (%s)\n", blocks, ms, rate,
                doneOk ? "last block acknowledged" : "DID NOT FINISH");
    std::printf("bare write-270/read-13 exchange over a pty: %.0f exchanges/s\n", bare);
    std::printf("upload / bare: %.2fx slower\n", bare / rate);
    std::printf("per block: %.1f us (a block takes 24.6 ms on the line at 115200 baud: %.2f %%)\n",
                1e6 / rate, 100.0 * (1000.0 / rate) / 24.6);
    std::printf("peak memory: %ld KiB (before the upload %ld KiB)\n", PeakRssKb(), rssBefore);
    (void)lastAck;
    return doneOk ? 0 : 1;
}
