// Serial link figures over a pseudo-terminal, with the event-loop host as
// the GUI thread:
//  1. how fast received bytes reach the owner as WM_SERIAL_RXCHAR calls when
//     the far end sends at memory speed (the line itself carries about
//     11,500 bytes a second at 115200 baud);
//  2. the round trip of a block upload step: QueueWrite of a 270-byte block,
//     the far end answers with a 13-byte acknowledgement, the last byte of
//     which reaches the owner.
// Prints figures only.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/EventLoopHost.h"
#include "serial/PortMap.h"
#include "serial/SerialLink.h"

using namespace quillet;
using Clock = std::chrono::steady_clock;

namespace {

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    Pty() {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
        if (const char* name = ::ttyname(slave)) path = name;
        termios tio{};
        ::tcgetattr(master, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(master, TCSANOW, &tio);
    }
    ~Pty() {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }
};

class CountingOwner : public ISerialOwner {
public:
    long OnSerialMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t) override {
        if (msg == WM_SERIAL_RXCHAR) {
            ++bytes;
            checksum = checksum * 31 + static_cast<std::uint32_t>(wParam);
            if (onByte) onByte();
        } else if (msg == WM_SERIAL_RXFLAG) {
            ++bursts;
        }
        return 0;
    }
    std::size_t bytes = 0;
    std::size_t bursts = 0;
    std::uint32_t checksum = 0;
    std::function<void()> onByte;
};

void Throughput() {
    Pty pty;
    if (pty.path.empty()) {
        std::printf("no pseudo-terminal\n");
        return;
    }
    EventLoopHost host;
    CountingOwner owner;
    CSerialLink link(host, PortMap::FromList(pty.path));
    if (!link.OpenPort(&owner, 1, 115200, 'N', 8, 1, EV_RXCHAR | EV_RXFLAG, 512) || !link.StartMonitor()) {
        std::printf("open failed\n");
        return;
    }
    constexpr std::size_t kTotal = 8u << 20;
    const auto start = Clock::now();
    std::thread writer([&] {
        std::vector<std::uint8_t> chunk(4096);
        for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::uint8_t>(i * 13);
        std::size_t sent = 0;
        while (sent < kTotal) {
            const ssize_t n = ::write(pty.master, chunk.data(), std::min(chunk.size(), kTotal - sent));
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
    });
    const bool all = host.RunUntil([&] { return owner.bytes >= kTotal; }, 60000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    std::printf("RXCHAR delivery: %zu bytes in %.3f s = %.0f bytes/s%s (%zu bursts, %.0f bytes per burst)\n",
                owner.bytes, seconds, static_cast<double>(owner.bytes) / seconds, all ? "" : " [INCOMPLETE]",
                owner.bursts, owner.bursts ? static_cast<double>(owner.bytes) / static_cast<double>(owner.bursts) : 0.0);
}

void RoundTrip() {
    Pty pty;
    if (pty.path.empty()) return;
    EventLoopHost host;
    CountingOwner owner;
    CSerialLink link(host, PortMap::FromList(pty.path));
    if (!link.OpenPort(&owner, 1, 115200, 'N', 8, 1, EV_RXCHAR | EV_RXFLAG, 512) || !link.StartMonitor()) {
        std::printf("open failed\n");
        return;
    }
    constexpr std::size_t kBlock = 270;
    constexpr std::size_t kAck = 13;
    constexpr int kRounds = 2000;

    // The instrument: reads each block, answers with an acknowledgement.
    std::atomic<bool> stop{false};
    std::thread instrument([&] {
        std::vector<std::uint8_t> buf(4096);
        const std::vector<std::uint8_t> ack(kAck, 0xAB);
        std::size_t pending = 0;
        while (!stop) {
            pollfd p{pty.master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::read(pty.master, buf.data(), buf.size());
            if (n <= 0) break;
            pending += static_cast<std::size_t>(n);
            while (pending >= kBlock) {
                pending -= kBlock;
                if (::write(pty.master, ack.data(), ack.size()) != static_cast<ssize_t>(ack.size())) return;
            }
        }
    });

    std::vector<std::uint8_t> block(kBlock, 0x5A);
    std::vector<double> micros;
    micros.reserve(kRounds);
    std::size_t got = 0;
    Clock::time_point sent;
    auto sendBlock = [&] {
        got = 0;
        sent = Clock::now();
        link.QueueWrite(block.data(), block.size());
    };
    owner.onByte = [&] {
        if (++got < kAck) return;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        if (micros.size() < kRounds) sendBlock();
    };
    sendBlock();
    host.RunUntil([&] { return micros.size() >= static_cast<std::size_t>(kRounds); }, 120000);
    stop = true;
    instrument.join();
    if (micros.empty()) {
        std::printf("write round trip: no answer\n");
        return;
    }
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) {
        return micros[std::min(micros.size() - 1, static_cast<std::size_t>(q * static_cast<double>(micros.size())))];
    };
    std::printf("write round trip (QueueWrite %zu bytes -> %zu-byte answer delivered), %zu rounds: "
                "median %.0f us, p99 %.0f us, max %.0f us\n",
                kBlock, kAck, micros.size(), at(0.5), at(0.99), micros.back());
}

} // namespace

int main() {
    Throughput();
    RoundTrip();
    return 0;
}
