// The simulator's I/O: a pseudo-terminal (or a real serial device) served by
// a thread that feeds received bytes to the Instrument and sends its replies
// when they are due.
#include "sim/lib/Simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "sim/lib/Instrument.h"

namespace quillet::sim {

namespace {

// Raw 115200 baud, 8 data bits, 1 stop bit; even parity with marked errors
// when `even`.
bool ConfigureLine(int fd, bool even) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSTOPB | CRTSCTS | PARODD | PARENB);
    t.c_iflag &= ~(IGNPAR | INPCK | PARMRK | ISTRIP);
    if (even) {
        t.c_cflag |= PARENB;
        t.c_iflag |= INPCK | PARMRK;
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool IsPseudoTerminal(int fd) {
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned maj = major(st.st_rdev);
    return maj >= 136 && maj <= 143;  // Unix 98 pty slaves
}

} // namespace

struct Simulator::Impl {
    explicit Impl(Options o) : opt(o), inst(std::move(o)) {}

    Options opt;
    mutable std::mutex mu;  // guards inst
    Instrument inst;

    int fd = -1;         // what the simulator reads and writes
    int holdFd = -1;     // our own handle on the pty slave: the pty stays up while the program reopens
    bool realPort = false;
    bool lineEven = false;
    int wake[2] = {-1, -1};
    std::thread thread;
    std::atomic<bool> stop{false};
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();

    struct Due {
        std::uint64_t at;
        std::uint64_t seq;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Due> queue;  // ordered by (at, seq)
    std::uint64_t seq = 0;
    std::vector<std::uint8_t> outBuf;
    std::uint64_t blockedSince = 0;
    int markState = 0;  // PARMRK decoding: 0 plain, 1 after FF, 2 after FF 00

    std::uint64_t Now() const {
        return std::uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
    }

    void Dump(const char* dir, const std::uint8_t* p, std::size_t n) const {
        if (!opt.verbose || !opt.log || n == 0) return;
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
        for (std::size_t i = 0; i < n; i += 32) {
            std::string line;
            char b[4];
            for (std::size_t k = i; k < n && k < i + 32; ++k) {
                std::snprintf(b, sizeof b, " %02x", p[k]);
                line += b;
            }
            std::fprintf(opt.log, "%3lld.%03lld %s%s\n", (long long)(us / 1000000), (long long)(us / 1000 % 1000), dir,
                         line.c_str());
        }
        std::fflush(opt.log);
    }

    void Schedule(std::vector<Reply>&& replies, std::uint64_t now) {
        for (auto& r : replies) {
            Due d{now + r.delayMs, seq++, std::move(r.bytes)};
            auto it = std::upper_bound(queue.begin(), queue.end(), d, [](const Due& a, const Due& b) {
                return a.at != b.at ? a.at < b.at : a.seq < b.seq;
            });
            queue.insert(it, std::move(d));
        }
    }

    void Received(const std::uint8_t* p, std::size_t n) {
        Dump("RX", p, n);
        const std::uint64_t now = Now();
        std::lock_guard<std::mutex> lock(mu);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint8_t b = p[i];
            bool flagged = false;
            if (realPort && lineEven) {
                // PARMRK: FF FF is a data FF, FF 00 x is x received with an error.
                if (markState == 0 && b == 0xFF) { markState = 1; continue; }
                if (markState == 1) {
                    if (b == 0x00) { markState = 2; continue; }
                    markState = 0;  // FF FF
                } else if (markState == 2) {
                    markState = 0;
                    flagged = true;
                }
            }
            Schedule(inst.Feed(b, now, flagged), now);
        }
    }

    // A real port follows the instrument: 8E1 while the STM32 bootloader
    // listens, 8N1 otherwise. Switched only when nothing is waiting to go out.
    void FollowLine() {
        if (!realPort || !queue.empty() || !outBuf.empty()) return;
        bool even;
        {
            std::lock_guard<std::mutex> lock(mu);
            even = inst.CurrentMode() == Mode::Bootloader;
        }
        if (even == lineEven) return;
        tcdrain(fd);
        ConfigureLine(fd, even);
        lineEven = even;
        markState = 0;
    }

    void Run() {
        std::uint8_t buf[4096];
        while (!stop.load()) {
            const std::uint64_t now = Now();
            while (!queue.empty() && queue.front().at <= now) {
                outBuf.insert(outBuf.end(), queue.front().bytes.begin(), queue.front().bytes.end());
                queue.erase(queue.begin());
            }
            if (!outBuf.empty()) {
                const ssize_t w = ::write(fd, outBuf.data(), outBuf.size());
                if (w > 0) {
                    Dump("TX", outBuf.data(), std::size_t(w));
                    outBuf.erase(outBuf.begin(), outBuf.begin() + w);
                    blockedSince = 0;
                } else if (holdFd >= 0) {
                    // Nobody reads the pty: after two seconds, drop what waits unread.
                    if (!blockedSince) blockedSince = now + 1;
                    else if (now - blockedSince > 2000) {
                        tcflush(holdFd, TCIFLUSH);
                        blockedSince = 0;
                    }
                }
            }
            FollowLine();
            int timeout = 200;
            if (!queue.empty()) timeout = int(std::min<std::uint64_t>(200, queue.front().at > now ? queue.front().at - now : 0));
            if (!outBuf.empty()) timeout = std::min(timeout, 10);
            pollfd p[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
            if (!outBuf.empty()) p[0].events |= POLLOUT;
            const int r = ::poll(p, 2, timeout);
            if (r < 0) continue;
            if (p[1].revents & POLLIN) break;
            if (p[0].revents & POLLIN) {
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n > 0) Received(buf, std::size_t(n));
            } else if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    }
};

Simulator::Simulator(Options options) : m_impl(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() {
    Stop();
    if (m_impl->holdFd >= 0) ::close(m_impl->holdFd);
    if (m_impl->fd >= 0) ::close(m_impl->fd);
}

std::string Simulator::OpenPty() {
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return {};
    ConfigureLine(slave, false);  // no echo, no line editing on the program's side
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    m_impl->fd = master;
    m_impl->holdFd = slave;
    return name;
}

bool Simulator::OpenDevice(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    if (!ConfigureLine(fd, false)) {
        ::close(fd);
        return false;
    }
    m_impl->fd = fd;
    m_impl->realPort = !IsPseudoTerminal(fd);
    return true;
}

void Simulator::Start() {
    Impl& d = *m_impl;
    if (d.thread.joinable() || d.fd < 0) return;
    if (::pipe(d.wake) != 0) return;
    d.stop = false;
    d.thread = std::thread([&d] { d.Run(); });
}

void Simulator::Stop() {
    Impl& d = *m_impl;
    if (!d.thread.joinable()) return;
    d.stop = true;
    const char c = 0;
    [[maybe_unused]] ssize_t w = ::write(d.wake[1], &c, 1);
    d.thread.join();
    ::close(d.wake[0]);
    ::close(d.wake[1]);
    d.wake[0] = d.wake[1] = -1;
    WriteSummaryFile();
}

std::vector<std::uint8_t> Simulator::Received() const {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->inst.Received();
}

Summary Simulator::GetSummary() const {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->inst.GetSummary();
}

std::string Simulator::WriteSummaryFile() {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->inst.WriteSummaryFile();
}

} // namespace quillet::sim
