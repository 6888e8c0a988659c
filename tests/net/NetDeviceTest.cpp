// The network device against servers that misbehave, each played by a
// thread of the test on a loopback port: refused and unknown hosts, silence,
// garbage options, a close during the set-up, a server that will not take
// even parity, and a connection that goes away under a running link.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "platform/EventLoopHost.h"
#include "serial/NetSerialDevice.h"
#include "serial/PortMap.h"
#include "serial/SerialLink.h"
#include "serial/Telnet.h"

namespace quillet {
namespace {

namespace tn = telnet;
using Clock = std::chrono::steady_clock;

constexpr NetTimeouts kShort{1000, 1000};
// Far above the limits above: the call ended because of them, not by luck.
constexpr auto kBound = std::chrono::seconds(8);

// A loopback server for one client, running `script` on it.
class FakeServer {
public:
    explicit FakeServer(std::function<void(int)> script) {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(m_listen, 1) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &size) != 0)
            return;
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this, script] {
            const int client = ::accept(m_listen, nullptr, nullptr);
            if (client < 0) return;
            script(client);
            ::close(client);
        });
    }
    ~FakeServer() {
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
        if (m_thread.joinable()) m_thread.join();
    }
    std::string Url(const char* scheme = "rfc2217") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(m_port);
    }

private:
    int m_listen = -1;
    unsigned m_port = 0;
    std::thread m_thread;
};

void Send(int fd, const std::vector<std::uint8_t>& bytes) { (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

// Serves RFC 2217 until the client leaves: agrees to the COM port option
// and answers every setting as asked, but parity always with `parity`.
void ServeWithParity(int fd, std::uint8_t parity) {
    tn::Decoder decoder;
    std::uint8_t buf[512];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
        std::vector<std::uint8_t> data;
        std::vector<tn::Event> events;
        decoder.Feed(buf, static_cast<std::size_t>(n), data, events);
        for (const auto& e : events) {
            if (e.kind == tn::Event::Kind::Option && e.command == tn::kWill && e.option == tn::kOptComPort)
                Send(fd, tn::Command(tn::kDo, tn::kOptComPort));
            if (e.kind != tn::Event::Kind::Subnegotiation || e.payload.empty()) continue;
            std::vector<std::uint8_t> value(e.payload.begin() + 1, e.payload.end());
            if (e.payload[0] == tn::kSetParity) value = {parity};
            Send(fd, tn::ComPortCommand(static_cast<std::uint8_t>(e.payload[0] + tn::kServerOffset), value));
        }
    }
}

// Waits until the client has sent its options, then runs `then`.
std::function<void(int)> AfterOptions(std::function<void(int)> then) {
    return [then](int fd) {
        std::uint8_t buf[64];
        if (::recv(fd, buf, sizeof buf, 0) > 0) then(fd);
    };
}

const LineSettings k8N1{115200, 'N', 8, 1, 0};
const LineSettings k8E1{115200, 'E', 8, 1, 0};

TEST(NetDevice, RefusedAndUnknownHostsAreAbsentWithTheServerNamed) {
    unsigned port;
    {
        FakeServer closed([](int) {});
        port = static_cast<unsigned>(std::stoul(closed.Url().substr(closed.Url().rfind(':') + 1)));
    }  // nobody listens there now
    auto device = MakeNetSerialDevice(kShort);
    const std::string url = "socket://127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(device->Open(url), ISerialDevice::OpenStatus::Absent);
    EXPECT_NE(device->Problem().find("refused by 127.0.0.1:" + std::to_string(port)), std::string::npos)
        << device->Problem();
    EXPECT_EQ(device->Open("rfc2217://no-such-host.invalid:7001"), ISerialDevice::OpenStatus::Absent);
    EXPECT_NE(device->Problem().find("no-such-host.invalid"), std::string::npos) << device->Problem();
    EXPECT_EQ(device->Open("rfc2217://host"), ISerialDevice::OpenStatus::NotSerial);
    EXPECT_NE(device->Problem().find("has no port"), std::string::npos) << device->Problem();
    EXPECT_FALSE(device->IsOpen());
}

TEST(NetDevice, SilenceGarbageAndACloseDuringTheSetUpEachEndItWithinTheLimit) {
    struct Case {
        const char* name;
        std::function<void(int)> script;
        const char* says;
    } cases[] = {
        {"silent", [](int fd) { std::uint8_t b[64]; while (::recv(fd, b, sizeof b, 0) > 0) {} }, "no answer"},
        {"endless sub-negotiation",
         AfterOptions([](int fd) {
             Send(fd, tn::Command(tn::kDo, tn::kOptComPort));
             Send(fd, {tn::kIac, tn::kSb, tn::kOptComPort});
             for (int i = 0; i < 40; ++i) Send(fd, std::vector<std::uint8_t>(64, 'x'));
             std::this_thread::sleep_for(std::chrono::seconds(2));
         }),
         "malformed telnet sub-negotiation"},
        {"option storm, then close",
         AfterOptions([](int fd) {
             for (int i = 0; i < 200; ++i) Send(fd, tn::Command(tn::kWill, static_cast<std::uint8_t>(100 + i % 50)));
         }),
         "closed the connection|reset by peer"},
        {"no COM port option", AfterOptions([](int fd) { Send(fd, tn::Command(tn::kDont, tn::kOptComPort)); }),
         "refuses the COM port option"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServer server(c.script);
        auto device = MakeNetSerialDevice(kShort);
        ASSERT_EQ(device->Open(server.Url()), ISerialDevice::OpenStatus::Opened);
        const auto start = Clock::now();
        const auto failure = device->Configure(k8N1);
        EXPECT_LT(Clock::now() - start, kBound);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->call, "SetCommState()");
        EXPECT_NE(failure->text.find("127.0.0.1"), std::string::npos) << failure->text;
        // "a|b": either wording (a close with unread bytes is a reset).
        const std::string says = c.says;
        const std::size_t bar = says.find('|');
        EXPECT_TRUE(failure->text.find(says.substr(0, bar)) != std::string::npos ||
                    (bar != std::string::npos && failure->text.find(says.substr(bar + 1)) != std::string::npos))
            << failure->text;
        device->Close();
    }
}

TEST(NetDevice, AServerThatWillNotTakeEvenParityIsKnownBeforeTheUpdateAndRefusedAt8E1) {
    FakeServer server([](int fd) { ServeWithParity(fd, tn::kParityNone); });
    auto device = MakeNetSerialDevice(kShort);
    ASSERT_EQ(device->Open(server.Url()), ISerialDevice::OpenStatus::Opened);
    ASSERT_FALSE(device->Configure(k8N1));
    EXPECT_NE(device->LineInUse().find("115200 8N1"), std::string::npos) << device->LineInUse();
    const std::string problem = device->ParityProblem('E');
    EXPECT_NE(problem.find("parity NONE when parity EVEN was asked for"), std::string::npos) << problem;
    EXPECT_NE(problem.find("cannot switch the instrument's port to 8E1"), std::string::npos) << problem;
    const auto failure = device->Configure(k8E1);
    ASSERT_TRUE(failure);
    EXPECT_NE(failure->text.find("answered parity NONE when parity EVEN was asked for"), std::string::npos)
        << failure->text;
}

TEST(NetDevice, ARawTcpPortTakes8N1OnlyAndSaysWhyNot8E1) {
    FakeServer server([](int fd) { std::uint8_t b[64]; while (::recv(fd, b, sizeof b, 0) > 0) {} });
    auto device = MakeNetSerialDevice(kShort);
    ASSERT_EQ(device->Open(server.Url("socket")), ISerialDevice::OpenStatus::Opened);
    EXPECT_FALSE(device->Configure(k8N1));
    EXPECT_NE(device->ParityProblem('E').find("raw TCP port, which cannot switch the instrument's port to 8E1: "
                                              "use rfc2217:// or a local port"),
              std::string::npos);
    EXPECT_TRUE(device->Configure(k8E1));
}

// Through the link: bytes with 0xFF go both ways escaped, the settings are
// the server's answers, and the server closing is the device gone.
TEST(NetDevice, TheLinkCarriesEveryByteAndLosesTheDeviceWhenTheServerCloses) {
    std::vector<std::uint8_t> received;
    FakeServer server([&received](int fd) {
        tn::Decoder decoder;
        std::uint8_t buf[512];
        ssize_t n;
        while (received.size() < 4 && (n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
            std::vector<tn::Event> events;
            decoder.Feed(buf, static_cast<std::size_t>(n), received, events);
            for (const auto& e : events) {
                if (e.kind == tn::Event::Kind::Option && e.command == tn::kWill && e.option == tn::kOptComPort)
                    Send(fd, tn::Command(tn::kDo, tn::kOptComPort));
                if (e.kind == tn::Event::Kind::Subnegotiation && !e.payload.empty() && e.payload[0] != tn::kSetControl)
                    Send(fd, tn::ComPortCommand(static_cast<std::uint8_t>(e.payload[0] + tn::kServerOffset),
                                                std::vector<std::uint8_t>(e.payload.begin() + 1, e.payload.end())));
            }
        }
        std::vector<std::uint8_t> reply;
        const std::uint8_t answer[] = {0xFF, 0x00, 0xFF, 0xFF};
        tn::AppendEscaped(answer, sizeof answer, reply);
        Send(fd, reply);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    });
    struct Owner : ISerialOwner {
        std::vector<std::uint8_t> bytes;
        bool lost = false;
        long OnSerialMessage(unsigned msg, std::uintptr_t w, std::intptr_t) override {
            if (msg == WM_SERIAL_RXCHAR) bytes.push_back(static_cast<std::uint8_t>(w));
            if (msg == WM_SERIAL_LOST) lost = true;
            return 0;
        }
    } owner;
    EventLoopHost host;
    host.SetTimerCallback([](unsigned) {});
    host.SetTimer(1, 5);
    CSerialLink link(host, PortMap::FromList(server.Url()));
    ASSERT_TRUE(link.OpenPort(&owner, 1, 115200, 'N', 8, 1, EV_RXCHAR, 512)) << link.OpenProblem();
    EXPECT_EQ(link.LineInUse(), "115200 8N1 (as the RFC 2217 server answered)");
    ASSERT_TRUE(link.StartMonitor());
    const std::uint8_t out[] = {0xFF, 0x7F, 0xFF, 0x01};
    ASSERT_TRUE(link.QueueWrite(out, sizeof out));
    ASSERT_TRUE(host.RunUntil([&] { return owner.lost; }, 8000));
    EXPECT_EQ(received, std::vector<std::uint8_t>(out, out + sizeof out));
    EXPECT_EQ(owner.bytes, (std::vector<std::uint8_t>{0xFF, 0x00, 0xFF, 0xFF}));
    EXPECT_FALSE(link.IsOpen());
}

} // namespace
} // namespace quillet
