// The simulator's I/O: a pseudo-terminal (or a real serial device) served by
// a thread that feeds received bytes to the Instrument and sends its replies
// when they are due.
#include "sim/lib/Simulator.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "serial/Telnet.h"
#include "sim/lib/Instrument.h"

namespace quillet::sim {

namespace {

// How long before a paced line byte is due the serving thread stops
// sleeping and waits awake.
constexpr std::uint64_t kAwakeNs = 500000;

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

    // Served over the network (--listen): the listening socket, the kind of
    // port, and per connection the telnet decoder and the parity the client
    // set (a raw TCP port has none it could set).
    int listenFd = -1;
    bool telnetPort = false;
    bool unplugged = false;
    telnet::Decoder decoder;
    std::set<unsigned> optionsAnswered;
    char clientParity = 'N';
    std::thread thread;
    std::atomic<bool> stop{false};
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now();

    // Times are nanoseconds on the steady clock since t0; the instrument
    // itself counts milliseconds.
    struct Due {
        std::uint64_t at;
        std::uint64_t seq;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Due> queue;  // replies not yet due, ordered by (at, seq)
    std::uint64_t seq = 0;
    std::vector<std::uint8_t> outBuf;  // due bytes not yet taken by the device
    std::uint64_t blockedSince = 0;
    int markState = 0;  // PARMRK decoding: 0 plain, 1 after FF, 2 after FF 00

    // With a baud rate, both directions of the line are paced: a byte
    // reaches the instrument when its last bit would have arrived, and a
    // reply byte is handed to the device when its last bit would have left.
    // Each direction is free again after the byte before it.
    struct LineByte {
        std::uint64_t at;  // when its last bit is through
        std::uint8_t byte;
        bool flagged;      // received with a parity error
    };
    std::deque<LineByte> rxLine;  // on the way to the instrument
    std::deque<LineByte> txLine;  // on the way to the program
    std::uint64_t rxFree = 0;
    std::uint64_t txFree = 0;

    std::uint64_t NowNs() const {
        return std::uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count());
    }

    // Line time of one byte: start bit, 8 data bits, a parity bit while the
    // STM32 bootloader listens (8E1), one stop bit.
    std::uint64_t ByteNs() {
        bool even;
        {
            std::lock_guard<std::mutex> lock(mu);
            even = inst.CurrentMode() == Mode::Bootloader;
        }
        return (even ? 11u : 10u) * 1000000000ull / opt.baud;
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

    void Schedule(std::vector<Reply>&& replies, std::uint64_t nowNs) {
        for (auto& r : replies) {
            Due d{nowNs + std::uint64_t(r.delayMs) * 1000000u, seq++, std::move(r.bytes)};
            auto it = std::upper_bound(queue.begin(), queue.end(), d, [](const Due& a, const Due& b) {
                return a.at != b.at ? a.at < b.at : a.seq < b.seq;
            });
            queue.insert(it, std::move(d));
        }
    }

    // Hands one byte to the instrument as received at `atNs`.
    void Feed(std::uint8_t b, bool flagged, std::uint64_t atNs) {
        std::vector<Reply> replies;
        {
            std::lock_guard<std::mutex> lock(mu);
            replies = inst.Feed(b, atNs / 1000000u, flagged);
        }
        Schedule(std::move(replies), atNs);
    }

    // A network client connects: a fresh line with its own settings.
    void Accept() {
        const int client = ::accept(listenFd, nullptr, nullptr);
        if (client < 0) return;
        ::fcntl(client, F_SETFL, ::fcntl(client, F_GETFL) | O_NONBLOCK);
        ::fcntl(client, F_SETFD, FD_CLOEXEC);
        int on = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        fd = client;
        decoder = telnet::Decoder();
        optionsAnswered.clear();
        clientParity = 'N';
        if (opt.verbose && opt.log) std::fprintf(opt.log, "       client connected\n");
    }

    // Another client while one is served: taken and closed at once, as a
    // device server answers a port in use (a waiting connection would
    // leave the next one hanging in the queue).
    void TurnAway() {
        const int other = ::accept(listenFd, nullptr, nullptr);
        if (other >= 0) ::close(other);
    }

    // The client went away: the line is free for the next one.
    void Hangup() {
        if (opt.verbose && opt.log) std::fprintf(opt.log, "       client left\n");
        ::close(fd);
        fd = -1;
        queue.clear();
        outBuf.clear();
        rxLine.clear();
        txLine.clear();
    }

    // Server side of RFC 2217: the COM port option and binary mode are
    // agreed to, every setting is answered as set; the parity is kept.
    void TelnetEvent(const telnet::Event& e) {
        namespace tn = telnet;
        if (e.kind == tn::Event::Kind::Option) {
            if (!optionsAnswered.insert((unsigned(e.command) << 8) | e.option).second) return;
            const bool wanted = e.option == tn::kOptBinary || e.option == tn::kOptSuppressGoAhead ||
                                e.option == tn::kOptComPort;
            if (e.command == tn::kWill) Queue(tn::Command(wanted ? tn::kDo : tn::kDont, e.option));
            if (e.command == tn::kDo && e.option != tn::kOptComPort)
                Queue(tn::Command(wanted ? tn::kWill : tn::kWont, e.option));
            return;
        }
        if (e.kind == tn::Event::Kind::Malformed) {
            std::lock_guard<std::mutex> lock(mu);
            inst.NoteLineProblem("malformed telnet sub-negotiation from the client");
            return;
        }
        if (e.option != tn::kOptComPort || e.payload.empty()) return;
        const std::uint8_t command = e.payload[0];
        const std::vector<std::uint8_t> value(e.payload.begin() + 1, e.payload.end());
        if (command == tn::kSetParity && value.size() == 1 && tn::ParityChar(value[0]) != '?')
            clientParity = tn::ParityChar(value[0]);
        if (opt.verbose && opt.log)
            std::fprintf(opt.log, "       COM-PORT-OPTION %u: %s\n", unsigned(command),
                         telnet::DescribeSetting(command, value).c_str());
        if (command < tn::kServerOffset) Queue(tn::ComPortCommand(std::uint8_t(command + tn::kServerOffset), value));
    }

    // Bytes of the server's own (telnet answers) go out ahead of the line.
    void Queue(const std::vector<std::uint8_t>& bytes) { outBuf.insert(outBuf.end(), bytes.begin(), bytes.end()); }

    // The instrument's bytes on their way to a telnet client: 0xFF doubled.
    void Escape(std::vector<std::uint8_t>& bytes) const {
        if (!telnetPort) return;
        std::vector<std::uint8_t> out;
        telnet::AppendEscaped(bytes.data(), bytes.size(), out);
        bytes.swap(out);
    }

    // A byte for the bootloader that the client's line carries without even
    // parity: a real STM32 would not take it.
    bool WrongParity() {
        if (listenFd < 0 || clientParity == 'E') return false;
        std::lock_guard<std::mutex> lock(mu);
        return inst.CurrentMode() == Mode::Bootloader;
    }

    void ReceivedFromNet(const std::uint8_t* p, std::size_t n) {
        if (!telnetPort) {
            Received(p, n);
            return;
        }
        std::vector<std::uint8_t> data;
        std::vector<telnet::Event> events;
        decoder.Feed(p, n, data, events);
        for (const auto& e : events) TelnetEvent(e);
        if (!data.empty()) Received(data.data(), data.size());
    }

    void Received(const std::uint8_t* p, std::size_t n) {
        Dump("RX", p, n);
        const std::uint64_t now = NowNs();
        const std::uint64_t byteNs = opt.baud ? ByteNs() : 0;
        for (std::size_t i = 0; i < n; ++i) {
            std::uint8_t b = p[i];
            bool flagged = WrongParity();
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
            if (!opt.baud) {
                Feed(b, flagged, now);
                continue;
            }
            rxFree = std::max(rxFree, now) + byteNs;
            rxLine.push_back(LineByte{rxFree, b, flagged});
        }
    }

    // A real port follows the instrument: 8E1 while the STM32 bootloader
    // listens, 8N1 otherwise. Switched only when nothing is waiting to go out.
    void FollowLine() {
        if (!realPort || !queue.empty() || !outBuf.empty() || !txLine.empty()) return;
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

    // Moves what is due: paced received bytes to the instrument, due replies
    // onto the line (or straight out), paced reply bytes to the device.
    void Advance(std::uint64_t now) {
        while (!rxLine.empty() && rxLine.front().at <= now) {
            const LineByte lb = rxLine.front();
            rxLine.pop_front();
            Feed(lb.byte, lb.flagged, lb.at);
        }
        while (!queue.empty() && queue.front().at <= now) {
            Due d = std::move(queue.front());
            queue.erase(queue.begin());
            if (!opt.baud) {
                Escape(d.bytes);
                outBuf.insert(outBuf.end(), d.bytes.begin(), d.bytes.end());
                continue;
            }
            const std::uint64_t byteNs = ByteNs();
            for (std::uint8_t b : d.bytes) {
                txFree = std::max(txFree, d.at) + byteNs;
                txLine.push_back(LineByte{txFree, b, false});
            }
        }
        while (!txLine.empty() && txLine.front().at <= now) {
            outBuf.push_back(txLine.front().byte);
            if (telnetPort && txLine.front().byte == telnet::kIac) outBuf.push_back(telnet::kIac);
            txLine.pop_front();
        }
    }

    // How long to wait for the next thing due. The paced lines are worked
    // off in bursts: the wait runs to the last byte of each (a frame is of
    // use to either side only once it is complete), and each byte still
    // counts from its own time.
    std::uint64_t WaitNs(std::uint64_t now) const {
        std::uint64_t until = now + std::uint64_t(200000000);
        if (!queue.empty()) until = std::min(until, queue.front().at);
        if (!rxLine.empty()) until = std::min(until, rxLine.back().at);
        if (!txLine.empty()) until = std::min(until, txLine.back().at);
        if (!outBuf.empty()) until = std::min(until, now + std::uint64_t(10000000));
        return until > now ? until - now : 0;
    }

    // The cable is pulled: both ends of the line go, so the program's next
    // read or write finds the device gone. Nothing more is served.
    // Bytes still to be read before the cable is pulled (all it can take
    // when it never is).
    std::size_t BeforeUnplug(std::size_t capacity) {
        if (opt.unplugAfterBytes < 0) return capacity;
        std::lock_guard<std::mutex> lock(mu);
        const std::uint64_t got = inst.BytesReceived() + rxLine.size();
        const std::uint64_t limit = std::uint64_t(opt.unplugAfterBytes);
        return got >= limit ? 0 : std::size_t(std::min<std::uint64_t>(capacity, limit - got));
    }
    void Unplug() {
        if (opt.verbose && opt.log) std::fprintf(opt.log, "       unplugged\n");
        if (holdFd >= 0) ::close(holdFd);
        if (fd >= 0) ::close(fd);
        holdFd = fd = -1;
        unplugged = true;
        if (listenFd >= 0) ::close(listenFd);
        listenFd = -1;
        queue.clear();
        outBuf.clear();
        rxLine.clear();
        txLine.clear();
    }

    void Run() {
#ifdef PR_SET_TIMERSLACK
        // Paced waits end within microseconds of their time, not the
        // default 50 us later: a block exchange has two of them.
        if (opt.baud) ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
        std::uint8_t buf[4096];
        while (!stop.load()) {
            if (fd < 0) {
                // Unplugged: only the stop request is awaited; a network
                // port waits for its next client too.
                pollfd w[2] = {{wake[0], POLLIN, 0}, {listenFd, POLLIN, 0}};
                if (::poll(w, listenFd >= 0 ? 2 : 1, -1) <= 0) continue;
                if (w[0].revents & POLLIN) break;
                if (w[1].revents & POLLIN) Accept();
                continue;
            }
            const std::uint64_t now = NowNs();
            Advance(now);
            if (!outBuf.empty()) {
                const ssize_t w = ::write(fd, outBuf.data(), outBuf.size());
                if (w > 0) {
                    Dump("TX", outBuf.data(), std::size_t(w));
                    outBuf.erase(outBuf.begin(), outBuf.begin() + w);
                    blockedSince = 0;
                } else if (holdFd >= 0) {
                    // Nobody reads the pty: after two seconds, drop what waits unread.
                    const std::uint64_t nowMs = now / 1000000u;
                    if (!blockedSince) blockedSince = nowMs + 1;
                    else if (nowMs - blockedSince > 2000) {
                        tcflush(holdFd, TCIFLUSH);
                        blockedSince = 0;
                    }
                }
            }
            FollowLine();
            std::uint64_t wait = WaitNs(NowNs());
            // A paced line is worked off on time: a timed sleep can end late
            // by the scheduler's latency (a tenth of a millisecond and more
            // on a busy machine, twice a round trip), so the last stretch
            // before a line byte is due is waited for awake.
            if (opt.baud && (!rxLine.empty() || !txLine.empty()))
                wait = wait > kAwakeNs ? wait - kAwakeNs : 0;
            const timespec timeout{time_t(wait / 1000000000ull), long(wait % 1000000000ull)};
            pollfd p[3] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}, {listenFd, POLLIN, 0}};
            if (!outBuf.empty()) p[0].events |= POLLOUT;
            const int r = ::ppoll(p, listenFd >= 0 ? 3 : 2, &timeout, nullptr);
            if (r < 0) continue;
            if (p[1].revents & POLLIN) break;
            if (listenFd >= 0 && (p[2].revents & POLLIN)) TurnAway();
            if (p[0].revents & POLLIN) {
                // No further than the unplug point, so it comes at an exact count.
                const ssize_t n = ::read(fd, buf, BeforeUnplug(sizeof buf));
                if (n > 0 && listenFd >= 0) ReceivedFromNet(buf, std::size_t(n));
                else if (n > 0) Received(buf, std::size_t(n));
                if (BeforeUnplug(1) == 0) Unplug();
                else if (listenFd >= 0 && (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))) Hangup();
            } else if (listenFd >= 0 && (p[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
                Hangup();
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
    if (m_impl->listenFd >= 0) ::close(m_impl->listenFd);
}

std::string Simulator::Listen(const NetAddress& address) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(address.port);
    const int rc = ::getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0 || !found) return "cannot resolve " + address.host + ": " + ::gai_strerror(rc);
    const int s = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    int on = 1;
    if (s >= 0) ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const bool bound = s >= 0 && ::bind(s, found->ai_addr, found->ai_addrlen) == 0 && ::listen(s, 1) == 0;
    const int error = errno;
    ::freeaddrinfo(found);
    if (!bound) {
        if (s >= 0) ::close(s);
        return "cannot listen on " + address.Url() + ": " + std::strerror(error);
    }
    ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
    m_impl->listenFd = s;
    m_impl->telnetPort = address.kind == NetAddress::Kind::Rfc2217;
    return {};
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
    if (d.thread.joinable() || (d.fd < 0 && d.listenFd < 0)) return;
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
