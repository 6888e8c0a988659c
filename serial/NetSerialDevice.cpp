// The network backend of ISerialDevice (see NetSerialDevice.h): a TCP
// connection, raw or with the telnet COM-PORT-OPTION of RFC 2217. The
// monitor thread waits on the socket and a wake-up (a pipe on POSIX, an
// event beside the socket's own on Windows).
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#endif
#include "serial/NetSerialDevice.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <set>
#include <system_error>
#include <vector>

#include "platform/WindowsHeaders.h"
#include "serial/NetAddress.h"
#include "serial/Telnet.h"

#ifndef _WIN32
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace quillet {
namespace {

namespace tn = telnet;
using Clock = std::chrono::steady_clock;

// Keepalive: a server that vanished without a word (cable, power) is found
// within about a minute even while the flow waits for nothing.
constexpr int kKeepIdleSeconds = 30;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 4;
constexpr std::size_t kPurgeChunk = 4096;
constexpr std::size_t kMaxPurgeChunks = 64;
constexpr int kWaitForever = -1;

#ifdef _WIN32
using Socket = SOCKET;
const Socket kNoSocket = INVALID_SOCKET;
int LastSocketError() { return WSAGetLastError(); }
bool WouldBlock(int e) { return e == WSAEWOULDBLOCK; }
bool ConnectPending(int e) { return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS; }
bool Refused(int e) { return e == WSAECONNREFUSED; }
void CloseSocket(Socket s) { closesocket(s); }
std::string SocketErrorText(int e) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(e), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string result = n && text ? std::string(text, n) : "socket error " + std::to_string(e);
    if (text) LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return result;
}
constexpr int kSendFlags = 0;
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
int LastSocketError() { return errno; }
bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }
bool ConnectPending(int e) { return e == EINPROGRESS; }
bool Refused(int e) { return e == ECONNREFUSED; }
void CloseSocket(Socket s) { ::close(s); }
std::string SocketErrorText(int e) { return std::generic_category().message(e); }
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif
#endif

bool SetNonBlocking(Socket s) {
#ifdef _WIN32
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
#else
    return ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK) == 0;
#endif
}

// TCP_NODELAY: a frame goes out at once, not after the last one's
// acknowledgement. Keepalive: a dead server is noticed.
void TuneSocket(Socket s) {
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
    const int idle = kKeepIdleSeconds, interval = kKeepIntervalSeconds, count = kKeepCount;
    setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, reinterpret_cast<const char*>(&idle), sizeof idle);
    setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, reinterpret_cast<const char*>(&interval), sizeof interval);
    setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&count), sizeof count);
#endif
#if defined(SO_NOSIGPIPE)
    setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

// Acknowledges received data at once rather than up to 40 ms later. A server
// that sends a reply in pieces as they come off the line (a UART does) with
// Nagle's algorithm on holds each piece after the first until the one before
// it is acknowledged: a delayed acknowledgement would stall every answer.
// Linux forgets the setting, so it is made again after every read.
void AcknowledgeAtOnce(Socket s) {
#ifdef TCP_QUICKACK
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    (void)s;
#endif
}

// Milliseconds left until `deadline` (0 when past).
int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for a socket and a wake-up together.
class Waiter {
public:
    enum class Ready { Socket, Woken, Timeout, Failed };

#ifdef _WIN32
    Waiter() {
        WSADATA data;
        m_started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        m_wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_socketEvent = WSACreateEvent();
    }
    ~Waiter() {
        if (m_wake) CloseHandle(m_wake);
        if (m_socketEvent != WSA_INVALID_EVENT) WSACloseEvent(m_socketEvent);
        if (m_started) WSACleanup();
    }
    void Attach(Socket s) {
        m_socket = s;
        m_seen = 0;
        WSAEventSelect(s, m_socketEvent, FD_READ | FD_WRITE | FD_CLOSE | FD_CONNECT);
    }
    void Detach() { m_socket = kNoSocket; }
    Ready Wait(bool forWrite, int timeoutMs) {
        const long wanted = forWrite ? (FD_WRITE | FD_CONNECT | FD_CLOSE) : (FD_READ | FD_CLOSE);
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        for (;;) {
            if (m_seen & wanted) {
                m_seen &= ~wanted;
                return Ready::Socket;
            }
            HANDLE handles[2] = {m_wake, m_socketEvent};
            const DWORD which = WaitForMultipleObjects(
                2, handles, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(MsLeft(deadline)));
            if (which == WAIT_OBJECT_0) return Ready::Woken;
            if (which == WAIT_TIMEOUT) return Ready::Timeout;
            if (which != WAIT_OBJECT_0 + 1) return Ready::Failed;
            WSANETWORKEVENTS events{};
            if (WSAEnumNetworkEvents(m_socket, m_socketEvent, &events) != 0) return Ready::Failed;
            m_seen |= events.lNetworkEvents;
        }
    }
    void Wake() { SetEvent(m_wake); }
    void ClearWake() { ResetEvent(m_wake); }

private:
    bool m_started = false;
    HANDLE m_wake = nullptr;
    WSAEVENT m_socketEvent = WSA_INVALID_EVENT;
    Socket m_socket = kNoSocket;
    long m_seen = 0;
#else
    Waiter() {
        int fds[2];
        if (::pipe(fds) == 0) {
            for (int fd : fds) {
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            }
            m_wakeRead = fds[0];
            m_wakeWrite = fds[1];
        }
    }
    ~Waiter() {
        if (m_wakeRead >= 0) ::close(m_wakeRead);
        if (m_wakeWrite >= 0) ::close(m_wakeWrite);
    }
    void Attach(Socket s) { m_socket = s; }
    void Detach() { m_socket = kNoSocket; }
    Ready Wait(bool forWrite, int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        for (;;) {
            pollfd fds[2] = {{m_wakeRead, POLLIN, 0}, {m_socket, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0}};
            const int n = ::poll(fds, 2, timeoutMs < 0 ? -1 : MsLeft(deadline));
            if (n < 0) {
                if (errno == EINTR) continue;
                return Ready::Failed;
            }
            if (n == 0) return Ready::Timeout;
            if (fds[0].revents & POLLIN) return Ready::Woken;
            // A hang-up or an error is told by the read or write that follows.
            if (fds[1].revents) return Ready::Socket;
        }
    }
    void Wake() {
        const char one = 1;
        (void)!::write(m_wakeWrite, &one, 1);  // a full pipe: a wake-up is pending already
    }
    void ClearWake() {
        char buffer[64];
        while (::read(m_wakeRead, buffer, sizeof buffer) > 0) {
        }
    }

private:
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    Socket m_socket = kNoSocket;
#endif
};

// The settings asked of an RFC 2217 server, and the answer each needs.
struct Request {
    std::uint8_t command;
    std::vector<std::uint8_t> value;
    bool probe;  // the even-parity question, not the line's setting
};

class NetSerialDevice final : public ISerialDevice {
public:
    explicit NetSerialDevice(NetTimeouts timeouts) : m_timeouts(timeouts) {}
    ~NetSerialDevice() override { Close(); }

    OpenStatus Open(const std::string& path) override {
        Close();
        m_problem.clear();
        const NetAddressParse parsed = ParseNetAddress(path);
        if (!parsed.address) {
            m_problem = "malformed port " + parsed.error + "; nothing was sent.";
            return OpenStatus::NotSerial;
        }
        m_address = *parsed.address;
        return Connect() ? OpenStatus::Opened : OpenStatus::Absent;
    }

    std::string Problem() const override { return m_problem; }

    std::optional<SerialFailure> Configure(const LineSettings& line) override {
        m_lineInUse.clear();
        m_evenProblem.clear();
        if (m_address.kind == NetAddress::Kind::Socket) {
            if (line.parity != 'N' || line.dataBits != 8 || line.stopBits != 1)
                return SerialFailure{"SetCommState()", RawPortProblem(line)};
            m_lineInUse = "the server's line settings (raw TCP, taken as " + std::to_string(line.baud) + " 8N1)";
            return std::nullopt;
        }
        return Negotiate(line);
    }

    bool IsOpen() const override { return m_socket != kNoSocket; }

    std::string LineInUse() const override { return m_lineInUse; }

    std::string ParityProblem(char parity) const override {
        if (parity == 'N' || m_socket == kNoSocket) return {};
        if (m_address.kind == NetAddress::Kind::Socket)
            return m_address.Url() + " is a raw TCP port, which cannot switch the instrument's port to 8" +
                   std::string(1, parity) + "1: use rfc2217:// or a local port";
        return parity == 'E' ? m_evenProblem : std::string();
    }

    void PurgeInput() override {
        if (m_socket == kNoSocket) return;
        // What has come in and not been read is dropped; commands in it are
        // still answered.
        m_pending.clear();
        std::uint8_t raw[kPurgeChunk];
        // Bounded: a server that never stops sending cannot hold the write up.
        for (std::size_t chunk = 0; chunk < kMaxPurgeChunks; ++chunk) {
            const auto n = recv(m_socket, reinterpret_cast<char*>(raw), sizeof raw, 0);
            if (n <= 0) break;
            std::vector<std::uint8_t> data;
            if (m_address.kind == NetAddress::Kind::Rfc2217) Decode(raw, static_cast<std::size_t>(n), data);
        }
    }

    WaitResult WaitForInput() override {
        if (!m_pending.empty()) return WaitResult::Input;
        switch (m_waiter.Wait(false, kWaitForever)) {
        case Waiter::Ready::Socket: return WaitResult::Input;
        case Waiter::Ready::Woken: return WaitResult::Woken;
        case Waiter::Ready::Timeout:
        case Waiter::Ready::Failed: break;
        }
        m_lastFailure = {"ReadFile()", "waiting on the connection to " + m_address.HostPort() + " failed"};
        return WaitResult::Gone;
    }

    IoResult Read(std::uint8_t* buffer, std::size_t capacity) override {
        if (!m_pending.empty()) {
            const std::size_t n = std::min(capacity, m_pending.size());
            std::copy(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(n), buffer);
            m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(n));
            return {IoStatus::Done, n, std::nullopt};
        }
        const auto n = recv(m_socket, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
        AcknowledgeAtOnce(m_socket);
        if (n == 0) return Lost("ReadFile()", "the server " + m_address.HostPort() + " closed the connection");
        if (n < 0) {
            const int error = LastSocketError();
            if (WouldBlock(error)) return {IoStatus::Done, 0, std::nullopt};
            return Lost("ReadFile()", "the connection to " + m_address.HostPort() + " failed: " + SocketErrorText(error));
        }
        if (m_address.kind == NetAddress::Kind::Socket) return {IoStatus::Done, static_cast<std::size_t>(n), std::nullopt};
        // Decoded data is never longer than what came in.
        std::vector<std::uint8_t> data;
        if (!Decode(buffer, static_cast<std::size_t>(n), data))
            return Lost("ReadFile()", "the server " + m_address.HostPort() + " sent a malformed telnet sub-negotiation");
        std::copy(data.begin(), data.end(), buffer);
        return {IoStatus::Done, data.size(), std::nullopt};
    }

    IoResult Write(const std::uint8_t* bytes, std::size_t length, const std::function<bool()>& stop) override {
        std::vector<std::uint8_t> wire;
        if (m_address.kind == NetAddress::Kind::Rfc2217)
            tn::AppendEscaped(bytes, length, wire);
        else
            wire.assign(bytes, bytes + length);
        std::size_t done = 0;
        while (done < wire.size()) {
            const auto n = send(m_socket, reinterpret_cast<const char*>(wire.data() + done),
                                static_cast<int>(wire.size() - done), kSendFlags);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            const int error = LastSocketError();
            if (!WouldBlock(error))
                return Lost("WriteFile()", "the connection to " + m_address.HostPort() + " failed: " + SocketErrorText(error));
            const Waiter::Ready ready = m_waiter.Wait(true, kWaitForever);
            if (ready == Waiter::Ready::Woken) {
                m_waiter.ClearWake();
                if (stop && stop()) return {IoStatus::Stopped, 0, std::nullopt};
            } else if (ready == Waiter::Ready::Failed) {
                return Lost("WriteFile()", "waiting on the connection to " + m_address.HostPort() + " failed");
            }
        }
        return {IoStatus::Done, length, std::nullopt};
    }

    void ClearWake() override { m_waiter.ClearWake(); }

    void Close() override {
        if (m_socket == kNoSocket) return;
        m_waiter.Detach();
        CloseSocket(m_socket);
        m_socket = kNoSocket;
        m_pending.clear();
        m_decoder = tn::Decoder();
    }

    SerialFailure LastFailure() const override { return m_lastFailure; }

    void Wake() override { m_waiter.Wake(); }

private:
    // ---- connection -----------------------------------------------------------
    bool Connect() {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo* found = nullptr;
        const std::string service = std::to_string(m_address.port);
        const int rc = getaddrinfo(m_address.host.c_str(), service.c_str(), &hints, &found);
        if (rc != 0 || !found) {
            m_problem = "the host " + m_address.host + " of " + m_address.Url() + " was not found (" +
                        std::string(gai_strerror(rc)) + "); nothing was sent.";
            return false;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(m_timeouts.connectMs);
        std::string why = "no address to connect to";
        for (const addrinfo* a = found; a && m_socket == kNoSocket; a = a->ai_next) why = TryAddress(a, deadline);
        freeaddrinfo(found);
        if (m_socket == kNoSocket) {
            m_problem = m_address.Url() + ": " + why + "; nothing was sent.";
            return false;
        }
        m_negotiated = false;
        m_optionsAnswered.clear();
        return true;
    }

    // Connects to one address of the host before `deadline`; why not, if not.
    std::string TryAddress(const addrinfo* a, Clock::time_point deadline) {
        const Socket s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == kNoSocket) return "no socket: " + SocketErrorText(LastSocketError());
        if (!SetNonBlocking(s)) {
            CloseSocket(s);
            return "no socket: " + SocketErrorText(LastSocketError());
        }
        m_waiter.Attach(s);
        int error = 0;
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            error = LastSocketError();
            if (ConnectPending(error)) {
                const Waiter::Ready ready = m_waiter.Wait(true, MsLeft(deadline));
                if (ready == Waiter::Ready::Timeout) {
                    m_waiter.Detach();
                    CloseSocket(s);
                    return "no answer from " + m_address.HostPort() + " within " +
                           std::to_string(m_timeouts.connectMs / 1000.0).substr(0, 3) + " s";
                }
                socklen_t size = sizeof error;
                error = 0;
                getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
            }
        }
        if (error != 0) {
            m_waiter.Detach();
            CloseSocket(s);
            return Refused(error) ? "the connection was refused by " + m_address.HostPort()
                                  : "cannot connect to " + m_address.HostPort() + ": " + SocketErrorText(error);
        }
        TuneSocket(s);
        m_socket = s;
        return {};
    }

    IoResult Lost(const char* call, const std::string& text) {
        m_lastFailure = {call, text};
        return {IoStatus::Gone, 0, m_lastFailure};
    }

    bool SendAll(const std::vector<std::uint8_t>& bytes) {
        const IoResult r = WriteRaw(bytes);
        return r.status == IoStatus::Done;
    }

    // Bytes as they are, no escaping (telnet commands), during set-up or
    // from the monitor thread between writes.
    IoResult WriteRaw(const std::vector<std::uint8_t>& bytes) {
        std::size_t done = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(m_timeouts.negotiationMs);
        while (done < bytes.size()) {
            const auto n = send(m_socket, reinterpret_cast<const char*>(bytes.data() + done),
                                static_cast<int>(bytes.size() - done), kSendFlags);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (!WouldBlock(LastSocketError()) || Clock::now() >= deadline)
                return Lost("WriteFile()", "the connection to " + m_address.HostPort() + " failed");
            const Waiter::Ready ready = m_waiter.Wait(true, MsLeft(deadline));
            if (ready == Waiter::Ready::Timeout || ready == Waiter::Ready::Failed)
                return Lost("WriteFile()", "the connection to " + m_address.HostPort() + " takes nothing more");
        }
        return {IoStatus::Done, done, std::nullopt};
    }

    // ---- telnet ---------------------------------------------------------------
    // Decodes received bytes: data to `data`, option commands answered,
    // answers of the server recorded. False on a malformed sub-negotiation.
    bool Decode(const std::uint8_t* raw, std::size_t length, std::vector<std::uint8_t>& data) {
        std::vector<tn::Event> events;
        m_decoder.Feed(raw, length, data, events);
        bool good = true;
        std::vector<std::uint8_t> reply;
        for (const tn::Event& e : events) {
            if (e.kind == tn::Event::Kind::Malformed) good = false;
            else if (e.kind == tn::Event::Kind::Option) AnswerOption(e, reply);
            else if (m_collecting && e.option == tn::kOptComPort && !e.payload.empty() &&
                     e.payload[0] > tn::kServerOffset)
                m_answers.emplace_back(e.payload[0], std::vector<std::uint8_t>(e.payload.begin() + 1, e.payload.end()));
        }
        if (!reply.empty()) (void)WriteRaw(reply);
        return good;
    }

    // The options this client uses: binary both ways, no go-ahead, and the
    // COM port option on its side. Everything else is declined, once each.
    static bool Wanted(std::uint8_t option) {
        return option == tn::kOptBinary || option == tn::kOptSuppressGoAhead || option == tn::kOptComPort;
    }

    void AnswerOption(const tn::Event& e, std::vector<std::uint8_t>& reply) {
        const unsigned key = (unsigned(e.command) << 8) | e.option;
        if (e.command == tn::kDo && e.option == tn::kOptComPort) m_comPort = ComPort::Accepted;
        if (e.command == tn::kDont && e.option == tn::kOptComPort) m_comPort = ComPort::Refused;
        // Each command is answered once: a server that repeats itself, or
        // sends a stream of options, gets no loop.
        if (!m_optionsAnswered.insert(key).second) return;
        if (e.command == tn::kWill && !Wanted(e.option)) Append(reply, tn::Command(tn::kDont, e.option));
        if (e.command == tn::kDo && !Wanted(e.option)) Append(reply, tn::Command(tn::kWont, e.option));
    }

    static void Append(std::vector<std::uint8_t>& to, const std::vector<std::uint8_t>& bytes) {
        to.insert(to.end(), bytes.begin(), bytes.end());
    }

    // Reads and decodes until `done` holds or `deadline`; data that comes
    // meanwhile waits for the first Read. The failure if it does not hold.
    std::optional<std::string> PumpUntil(const std::function<bool()>& done, Clock::time_point deadline) {
        std::uint8_t raw[kPurgeChunk];
        while (!done()) {
            const Waiter::Ready ready = m_waiter.Wait(false, MsLeft(deadline));
            if (ready == Waiter::Ready::Timeout) return "no answer";
            if (ready == Waiter::Ready::Woken) {
                m_waiter.ClearWake();
                continue;
            }
            const auto n = recv(m_socket, reinterpret_cast<char*>(raw), sizeof raw, 0);
            if (n == 0) return "the server closed the connection";
            if (n < 0) {
                const int error = LastSocketError();
                if (WouldBlock(error)) continue;
                return "the connection failed: " + SocketErrorText(error);
            }
            std::vector<std::uint8_t> data;
            if (!Decode(raw, static_cast<std::size_t>(n), data)) return "a malformed telnet sub-negotiation";
            m_pending.insert(m_pending.end(), data.begin(), data.end());
        }
        return std::nullopt;
    }

    SerialFailure SetupFailure(const std::string& what) const {
        return {"SetCommState()", "the RFC 2217 server " + m_address.HostPort() + ": " + what};
    }

    std::optional<SerialFailure> Negotiate(const LineSettings& line) {
        const std::uint8_t parity = tn::ParityCode(line.parity);
        if (parity == 0 || line.dataBits < 5 || line.dataBits > 8 || (line.stopBits != 1 && line.stopBits != 2))
            return SetupFailure("the settings " + std::to_string(line.dataBits) + line.parity +
                                std::to_string(line.stopBits) + " cannot be asked for");
        const auto deadline = Clock::now() + std::chrono::milliseconds(m_timeouts.negotiationMs);
        if (!m_negotiated) {
            // The options first: the server must agree to the COM port option
            // before it is asked anything.
            std::vector<std::uint8_t> options;
            for (const auto& c : {tn::Command(tn::kWill, tn::kOptComPort), tn::Command(tn::kWill, tn::kOptBinary),
                                  tn::Command(tn::kDo, tn::kOptBinary), tn::Command(tn::kWill, tn::kOptSuppressGoAhead),
                                  tn::Command(tn::kDo, tn::kOptSuppressGoAhead)})
                Append(options, c);
            m_comPort = ComPort::Asked;
            if (!SendAll(options)) return SetupFailure("the connection failed while the options were sent");
            if (auto why = PumpUntil([this] { return m_comPort != ComPort::Asked; }, deadline))
                return SetupFailure(*why + " while agreeing on the COM port option (is it an RFC 2217 port?)");
            if (m_comPort == ComPort::Refused) return SetupFailure("it refuses the COM port option (a plain telnet port?)");
            m_negotiated = true;
        }
        // Two rounds, each waiting for its answers: a server answers a
        // setting with the line as it stands once the change is made, so the
        // even-parity question must be answered before the parity is set back.
        std::vector<Request> first{
            {tn::kSetBaudrate, tn::BaudBytes(line.baud), false},
            {tn::kSetDatasize, {static_cast<std::uint8_t>(line.dataBits)}, false},
            {tn::kSetStopsize, {line.stopBits == 2 ? tn::kStopTwo : tn::kStopOne}, false},
        };
        // Asked for even parity and set back: whether the server could carry
        // the main-MCU update is known before it starts.
        if (line.parity != 'E') first.push_back({tn::kSetParity, {tn::kParityEven}, true});
        if (auto failure = AskAndCheck(first, {}, deadline)) return failure;
        // Modem lines on, as a local port has them, and the server's input
        // purged once; a server may ignore either, and neither answer is
        // awaited. (Purging at the server before every write would put its
        // small answer ahead of each reply, which then waits for a delayed
        // TCP acknowledgement: tens of milliseconds a block.)
        std::vector<std::uint8_t> after;
        Append(after, tn::ComPortCommand(tn::kSetControl, {tn::kControlRtsOn}));
        Append(after, tn::ComPortCommand(tn::kSetControl, {tn::kControlDtrOn}));
        Append(after, tn::ComPortCommand(tn::kPurgeData, {tn::kPurgeReceive}));
        if (auto failure = AskAndCheck({{tn::kSetParity, {parity}, false}}, after, deadline)) return failure;
        m_lineInUse = std::to_string(line.baud) + " " + std::to_string(line.dataBits) + line.parity +
                      std::to_string(line.stopBits) + " (as the RFC 2217 server answered)";
        return std::nullopt;
    }

    // Sends `requests` (then `after`, unanswered) and checks the server's
    // answer to each.
    std::optional<SerialFailure> AskAndCheck(const std::vector<Request>& requests,
                                             const std::vector<std::uint8_t>& after, Clock::time_point deadline) {
        std::vector<std::uint8_t> out;
        for (const Request& r : requests) Append(out, tn::ComPortCommand(r.command, r.value));
        Append(out, after);
        m_answers.clear();
        m_collecting = true;
        if (!SendAll(out)) return SetupFailure("the connection failed while the line settings were sent");
        const auto answered = [this, &requests] {
            for (const Request& r : requests)
                if (AnswersTo(r.command) < static_cast<std::size_t>(std::count_if(
                                               requests.begin(), requests.end(),
                                               [&r](const Request& q) { return q.command == r.command; })))
                    return false;
            return true;
        };
        const auto why = PumpUntil(answered, deadline);
        m_collecting = false;
        if (why) return SetupFailure(*why + " to the line settings");
        return CheckAnswers(requests);
    }

    std::size_t AnswersTo(std::uint8_t command) const {
        return static_cast<std::size_t>(std::count_if(m_answers.begin(), m_answers.end(), [command](const auto& a) {
            return a.first == command + tn::kServerOffset;
        }));
    }

    // Each request against the server's answer to it, in order per command.
    std::optional<SerialFailure> CheckAnswers(const std::vector<Request>& requests) {
        std::vector<bool> used(m_answers.size(), false);
        for (const Request& r : requests) {
            std::size_t i = 0;
            while (i < m_answers.size() && (used[i] || m_answers[i].first != r.command + tn::kServerOffset)) ++i;
            used[i] = true;
            const std::vector<std::uint8_t>& got = m_answers[i].second;
            if (got == r.value) continue;
            const std::string text = "it answered " + tn::DescribeSetting(r.command, got) + " when " +
                                     tn::DescribeSetting(r.command, r.value) + " was asked for";
            if (r.probe) {
                m_evenProblem = "the RFC 2217 server " + m_address.HostPort() + " (" + text +
                                ") cannot switch the instrument's port to 8E1: use another server or a local port";
                continue;
            }
            return SetupFailure(text);
        }
        return std::nullopt;
    }

    std::string RawPortProblem(const LineSettings& line) const {
        return m_address.Url() + " is a raw TCP port: its line is as the server was set up, and it cannot switch to " +
               std::to_string(line.dataBits) + line.parity + std::to_string(line.stopBits) +
               " (use rfc2217:// or a local port)";
    }

    enum class ComPort { Asked, Accepted, Refused };

    const NetTimeouts m_timeouts;
    NetAddress m_address;
    Socket m_socket = kNoSocket;
    Waiter m_waiter;
    tn::Decoder m_decoder;
    std::deque<std::uint8_t> m_pending;  // data that came during the set-up
    std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> m_answers;
    std::set<unsigned> m_optionsAnswered;
    ComPort m_comPort = ComPort::Asked;
    bool m_negotiated = false;
    bool m_collecting = false;  // the server's answers are wanted (during Configure only)
    std::string m_problem;
    std::string m_lineInUse;
    std::string m_evenProblem;
    SerialFailure m_lastFailure;
};

} // namespace

std::unique_ptr<ISerialDevice> MakeNetSerialDevice(NetTimeouts timeouts) {
    return std::make_unique<NetSerialDevice>(timeouts);
}

} // namespace quillet
