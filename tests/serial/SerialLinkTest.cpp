// CSerialLink over real pseudo-terminals, with the event-loop host as the
// GUI thread: the test thread runs the loop (RunUntil) and plays the
// instrument on the master side of each pty.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>

#include "SerialTestSupport.h"
#include "platform/EventLoopHost.h"
#include "serial/PortMap.h"
#include "serial/SerialLink.h"

namespace quillet {
namespace {

using test::PtyPair;
using test::RecordingOwner;
using test::TermiosHook;

constexpr std::uint32_t kMask = EV_RXCHAR | EV_RXFLAG;

class SerialLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        TermiosHook::Reset();
        host.onMessageBox = [](const EventLoopHost::Box&) {};
        // A steady tick, so RunUntil looks at its condition while the test
        // waits for bytes on a pty rather than for posted work.
        host.SetTimerCallback([](unsigned) {});
        host.SetTimer(1, 2);
    }
    void TearDown() override { TermiosHook::Reset(); }

    bool Pump(const std::function<bool()>& done, unsigned ms = 5000) { return host.RunUntil(done, ms); }
    void Settle(unsigned ms) { host.RunUntil([] { return false; }, ms); }
    bool Open(CSerialLink& link, unsigned com, char parity = 'N', std::uint32_t mask = kMask,
              unsigned baud = 115200) {
        return link.OpenPort(&owner, com, baud, parity, 8, 1, mask, 512);
    }
    // Reads what the program writes on `pty` until `expected` bytes came.
    std::string ReadLine(const PtyPair& pty, std::size_t expected, unsigned ms = 5000) {
        std::string got;
        Pump([&] {
            got += pty.Drain();
            return got.size() >= expected;
        }, ms);
        return got;
    }

    EventLoopHost host;
    RecordingOwner owner;
};

TEST_F(SerialLinkTest, OpensTheDeviceTheMapNamesForTheComNumber) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(",,,,,,,,," + pty.path);  // COM10
    CSerialLink link(host, map);
    EXPECT_FALSE(Open(link, 9));
    ASSERT_TRUE(Open(link, 10));
    EXPECT_TRUE(link.IsOpen());
    ASSERT_TRUE(link.StartMonitor());
    EXPECT_FALSE(link.StartMonitor());  // one monitor thread only
    ASSERT_TRUE(pty.Send("z"));
    ASSERT_TRUE(Pump([&] { return owner.Count(WM_SERIAL_RXCHAR) == 1; }));
    EXPECT_EQ(owner.messages[0].wParam, std::uintptr_t{'z'});
    EXPECT_EQ(owner.messages[0].lParam, 10);
}

TEST_F(SerialLinkTest, AbsentPortsFailWithoutABoxAndTheLinkStaysUsable) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(",/dev/no-such-quillet-tty,," + pty.path);
    CSerialLink link(host, map);
    for (unsigned com : {1u, 2u, 3u, 5u, 99u}) {
        EXPECT_FALSE(Open(link, com)) << com;
        EXPECT_FALSE(link.IsOpen());
        EXPECT_FALSE(link.StartMonitor());
        EXPECT_TRUE(link.OpenProblem().empty());
    }
    const std::uint8_t byte = 1;
    EXPECT_FALSE(link.QueueWrite(&byte, 1));
    ASSERT_TRUE(Open(link, 4));
    ASSERT_TRUE(link.StartMonitor());
    ASSERT_TRUE(link.QueueWrite(reinterpret_cast<const std::uint8_t*>("ok"), 2));
    EXPECT_EQ(ReadLine(pty, 2), "ok");
    Settle(20);
    EXPECT_TRUE(host.Boxes().empty());
}

TEST_F(SerialLinkTest, LineIs115200EightBitsRawWithTheReceiverOn) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(pty.path);
    CSerialLink link(host, map);
    ASSERT_TRUE(Open(link, 1));
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
    EXPECT_EQ(::cfgetospeed(&tio), speed_t{B115200});
    EXPECT_EQ(::cfgetispeed(&tio), speed_t{B115200});
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_TRUE(host.Boxes().empty());
}

// A pty cannot carry parity: the port says so while it is open at 8N1 (the
// main-MCU update asks before it starts), and an open at 8E1 fails with a
// box instead of going on without parity.
TEST_F(SerialLinkTest, EvenParityOnAPtyIsRefusedAndNamed) {
    ::unsetenv("QUILLET_SIM_PTYS");
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    CSerialLink link(host, PortMap::FromList(pty.path));
    ASSERT_TRUE(Open(link, 1, 'N'));
    EXPECT_EQ(link.LineInUse(), "115200 8N1");
    const std::string problem = link.ParityProblem('E');
    EXPECT_NE(problem.find(pty.path), std::string::npos) << problem;
    EXPECT_NE(problem.find("cannot switch the instrument's port to 8E1: use rfc2217:// or a local port"),
              std::string::npos) << problem;
    EXPECT_TRUE(link.ParityProblem('N').empty());

    EXPECT_FALSE(Open(link, 1, 'E'));
    EXPECT_EQ(link.LastOpenRefusal(), OpenRefusal::Unusable);
    ASSERT_EQ(host.Boxes().size(), 1u);
    EXPECT_NE(host.Boxes()[0].text.find("SetCommState()"), std::string::npos);
    EXPECT_NE(host.Boxes()[0].text.find("pseudo-terminal, which cannot carry parity"), std::string::npos)
        << host.Boxes()[0].text;
    EXPECT_FALSE(link.IsOpen());
}

// The simulator's own pty, named by it: even parity is asked of the kernel,
// refused, and the line goes on without it, saying so.
TEST_F(SerialLinkTest, TheSimulatorsPtyOpensAt8E1WhenItIsNamed) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ::setenv("QUILLET_SIM_PTYS", ("/dev/null," + pty.path).c_str(), 1);
    CSerialLink link(host, PortMap::FromList(pty.path));
    ASSERT_TRUE(Open(link, 1, 'N'));
    EXPECT_TRUE(link.ParityProblem('E').empty());
    TermiosHook::Reset();
    ASSERT_TRUE(Open(link, 1, 'E'));
    ::unsetenv("QUILLET_SIM_PTYS");
    const auto requests = TermiosHook::Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0] & (PARENB | PARODD | CSIZE), tcflag_t{PARENB | CS8});
    EXPECT_EQ(requests[1] & (PARENB | PARODD | CSIZE), tcflag_t{CS8});
    EXPECT_NE(link.LineInUse().find("115200 8N1 (E asked; the simulator keeps the parity"), std::string::npos)
        << link.LineInUse();
    EXPECT_TRUE(host.Boxes().empty());
    // Bytes still flow after the switch.
    ASSERT_TRUE(link.StartMonitor());
    ASSERT_TRUE(pty.Send("\x79"));
    ASSERT_TRUE(Pump([&] { return owner.Count(WM_SERIAL_RXCHAR) == 1; }));
}

TEST_F(SerialLinkTest, ConfigurationFailuresAreReportedAndThePortIsClosedAgain) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(pty.path + ",/dev/null");
    CSerialLink link(host, map);

    // A device that cannot be set up is given back: nothing is ever written
    // to it.
    TermiosHook::FailWith(EIO);
    EXPECT_FALSE(Open(link, 1));
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.LastOpenRefusal(), OpenRefusal::Unusable);
    EXPECT_NE(link.OpenProblem().find(pty.path + " could not be set up"), std::string::npos) << link.OpenProblem();
    const std::uint8_t byte = 0x55;
    EXPECT_FALSE(link.QueueWrite(&byte, 1));
    TermiosHook::FailWith(0);
    EXPECT_FALSE(Open(link, 1, 'N', kMask, 12345));
    // /dev/null is a device, but no terminal: refused before any step.
    EXPECT_FALSE(Open(link, 2));
    EXPECT_EQ(link.LastOpenRefusal(), OpenRefusal::NotSerial);
    EXPECT_EQ(link.OpenProblem(),
              "/dev/null is not a serial port (it is a device that is no terminal); nothing was written to it.");
    ASSERT_TRUE(Open(link, 1));
    EXPECT_EQ(link.LastOpenRefusal(), OpenRefusal::None);

    const auto boxes = host.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Application Error");
    EXPECT_EQ(boxes[0].text, std::string("WARNING:  SetCommState() Failed with the following error: \n") +
                                 std::strerror(EIO) + "\nPort: 1\n");
    EXPECT_EQ(boxes[1].text, std::string("WARNING:  BuildCommDCB() Failed with the following error: \n") +
                                 std::strerror(EINVAL) + "\nPort: 1\n");
    EXPECT_TRUE(pty.Drain().empty());
}

TEST_F(SerialLinkTest, FormatCommErrorText) {
    EXPECT_EQ(CSerialLink::FormatCommError("WriteFile()", "Broken", 7),
              "WARNING:  WriteFile() Failed with the following error: \nBroken\nPort: 7\n");
}

TEST_F(SerialLinkTest, EveryByteArrivesOncePerCallInOrderWithRxFlagAfterEachBurst) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(pty.path);
    CSerialLink link(host, map);
    ASSERT_TRUE(Open(link, 1));
    ASSERT_TRUE(link.StartMonitor());

    std::vector<std::uint8_t> data(100 * 1024);
    std::mt19937 random(12345);
    for (auto& b : data) b = static_cast<std::uint8_t>(random());
    std::thread writer([&] { pty.Send(data, 15000); });
    const bool all = Pump([&] { return owner.Count(WM_SERIAL_RXCHAR) >= data.size(); }, 15000);
    writer.join();
    ASSERT_TRUE(all) << owner.Count(WM_SERIAL_RXCHAR) << " bytes";
    Settle(20);
    EXPECT_EQ(owner.Bytes(), data);

    // RXFLAG closes every burst: never first, never twice in a row, last.
    std::size_t burst = 0;
    std::size_t flags = 0;
    for (const auto& m : owner.messages) {
        EXPECT_EQ(m.lParam, 1);
        if (m.msg == WM_SERIAL_RXFLAG) {
            EXPECT_GT(burst, 0u);
            EXPECT_LE(burst, 4096u);
            burst = 0;
            ++flags;
        } else {
            ASSERT_EQ(m.msg, WM_SERIAL_RXCHAR);
            ++burst;
        }
    }
    EXPECT_EQ(burst, 0u);
    EXPECT_GE(flags, data.size() / 4096);
}

TEST_F(SerialLinkTest, TheEventMaskChoosesTheMessagesAfterEachBurst) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(pty.path);
    {
        CSerialLink link(host, map);
        ASSERT_TRUE(Open(link, 1, 'N', EV_RXCHAR));
        ASSERT_TRUE(link.StartMonitor());
        ASSERT_TRUE(pty.Send("abc"));
        ASSERT_TRUE(Pump([&] { return owner.Count(WM_SERIAL_RXCHAR) == 3; }));
        Settle(20);
        EXPECT_EQ(owner.messages.size(), 3u);
    }
    owner.messages.clear();
    CSerialLink link(host, map);
    ASSERT_TRUE(Open(link, 1, 'N', EV_RXCHAR | EV_RXFLAG | EV_CTS | EV_BREAK | EV_ERR | EV_RING));
    ASSERT_TRUE(link.StartMonitor());
    ASSERT_TRUE(pty.Send("q"));
    ASSERT_TRUE(Pump([&] { return owner.Count(WM_SERIAL_RXFLAG) == 1; }));
    std::vector<unsigned> order;
    for (const auto& m : owner.messages) order.push_back(m.msg);
    EXPECT_EQ(order, (std::vector<unsigned>{WM_SERIAL_RXCHAR, WM_SERIAL_CTS, WM_SERIAL_BREAK, WM_SERIAL_ERR,
                                            WM_SERIAL_RING, WM_SERIAL_RXFLAG}));
}

TEST_F(SerialLinkTest, AWriteDiscardsReceivedBytesNotYetRead) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(pty.path);
    CSerialLink link(host, map);
    ASSERT_TRUE(Open(link, 1));
    ASSERT_TRUE(link.StartMonitor());
    bool stalePlaced = false;
    owner.onMessage = [&](const RecordingOwner::Message& m) {
        if (m.msg != WM_SERIAL_RXCHAR || m.wParam != 'A') return;
        // While this handler runs the monitor thread reads nothing: the
        // stale bytes wait in the tty when the write begins.
        pty.Send("stale");
        stalePlaced = pty.WaitUnread(5);
        link.QueueWrite(reinterpret_cast<const std::uint8_t*>("req"), 3);
    };
    ASSERT_TRUE(pty.Send("A"));
    ASSERT_TRUE(Pump([&] { return owner.Count(WM_SERIAL_WRITE_DONE) == 1; }));
    ASSERT_TRUE(stalePlaced);
    EXPECT_EQ(ReadLine(pty, 3), "req");
    ASSERT_TRUE(pty.Send("fresh"));
    ASSERT_TRUE(Pump([&] { return owner.Text().size() >= 6; }));
    Settle(30);
    EXPECT_EQ(owner.Text(), "Afresh");
}

TEST_F(SerialLinkTest, QuickWritesAllReachTheLineInOrderEachWithItsCompletion) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(pty.path);
    CSerialLink link(host, map);
    ASSERT_TRUE(Open(link, 1));
    ASSERT_TRUE(link.StartMonitor());
    std::vector<std::uint8_t> big(512);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_TRUE(link.QueueWrite(reinterpret_cast<const std::uint8_t*>("first"), 5));
    ASSERT_TRUE(link.QueueWrite(reinterpret_cast<const std::uint8_t*>("second"), 6));
    ASSERT_TRUE(link.QueueWrite(big.data(), big.size()));
    big[0] = 0xEE;  // the link has its own copy
    ASSERT_TRUE(link.QueueWrite(big.data(), big.size()));
    const std::string line = ReadLine(pty, 11 + 1024);
    ASSERT_EQ(line.size(), 11u + 1024u);
    EXPECT_EQ(line.substr(0, 11), "firstsecond");
    EXPECT_EQ(static_cast<std::uint8_t>(line[11]), 0);
    EXPECT_EQ(static_cast<std::uint8_t>(line[11 + 512]), 0xEE);
    EXPECT_EQ(line.substr(12, 511), line.substr(11 + 513, 511));
    ASSERT_TRUE(Pump([&] { return owner.Count(WM_SERIAL_WRITE_DONE) == 4; }));
    Settle(20);
    EXPECT_EQ(owner.Count(WM_SERIAL_WRITE_DONE), 4u);
    for (const auto& m : owner.messages) EXPECT_EQ(m.lParam, 1);
}

// A write completes once the kernel has its bytes: an upload does not wait
// for each block to leave the line (on a USB adapter that means asking the
// adapter). Only a write whose completion starts a pause, and closing the
// port, wait for the empty line.
TEST_F(SerialLinkTest, OnlyWritesToTheLineAndClosingWaitForTheLineToEmpty) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(pty.path);
    CSerialLink link(host, map);
    ASSERT_TRUE(Open(link, 1));
    ASSERT_TRUE(link.StartMonitor());
    const std::size_t drainsAfterOpen = TermiosHook::Drains();
    const std::uint8_t block[] = {1, 2, 3, 4};
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(link.QueueWrite(block, sizeof block));
    ASSERT_TRUE(Pump([&] { return owner.Count(WM_SERIAL_WRITE_DONE) == 3; }));
    EXPECT_EQ(TermiosHook::Drains(), drainsAfterOpen);

    ASSERT_TRUE(link.QueueWriteToLine(block, sizeof block));
    ASSERT_TRUE(Pump([&] { return owner.Count(WM_SERIAL_WRITE_DONE) == 4; }));
    EXPECT_EQ(TermiosHook::Drains(), drainsAfterOpen + 1);
    EXPECT_EQ(ReadLine(pty, 16).size(), 16u);

    // Written since the last drain: closing waits once more.
    ASSERT_TRUE(link.QueueWrite(block, sizeof block));
    ASSERT_TRUE(Pump([&] { return owner.Count(WM_SERIAL_WRITE_DONE) == 5; }));
    link.RequestClose();
    ASSERT_TRUE(Pump([&] { return !link.IsOpen(); }));
    EXPECT_EQ(TermiosHook::Drains(), drainsAfterOpen + 2);
}

// The instrument's command frames are queued untold: they reach the line
// in their place among the other writes, and only the others complete to
// the owner. A frame queued by a handler of received bytes (the next block
// after an acknowledgement) goes out as any other.
TEST_F(SerialLinkTest, UntoldWritesGoOutInOrderAndOnlyTheOthersComplete) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(pty.path);
    CSerialLink link(host, map);
    ASSERT_TRUE(Open(link, 1));
    ASSERT_TRUE(link.StartMonitor());
    const auto bytes = [](const char* text) { return reinterpret_cast<const std::uint8_t*>(text); };
    ASSERT_TRUE(link.QueueWrite(bytes("one"), 3));
    ASSERT_TRUE(link.QueueUntoldWrite(bytes("two"), 3));
    ASSERT_TRUE(link.QueueWriteToLine(bytes("three"), 5));
    EXPECT_EQ(ReadLine(pty, 11), "onetwothree");
    ASSERT_TRUE(Pump([&] { return owner.Count(WM_SERIAL_WRITE_DONE) == 2; }));

    owner.onMessage = [&](const RecordingOwner::Message& m) {
        if (m.msg == WM_SERIAL_RXCHAR && m.wParam == 'n') link.QueueUntoldWrite(bytes("b"), 1);
    };
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(pty.Send("n"));
        EXPECT_EQ(ReadLine(pty, 1), "b");
    }
    // A completion still comes before the bytes received after its write.
    ASSERT_TRUE(link.QueueWrite(bytes("w"), 1));
    EXPECT_EQ(ReadLine(pty, 1), "w");
    ASSERT_TRUE(pty.Send("z"));
    ASSERT_TRUE(Pump([&] { return owner.Text() == "nnnz"; }));
    Settle(30);
    EXPECT_EQ(owner.Count(WM_SERIAL_WRITE_DONE), 3u);
    const auto z = std::find_if(owner.messages.begin(), owner.messages.end(),
                                [](const auto& m) { return m.msg == WM_SERIAL_RXCHAR && m.wParam == 'z'; });
    EXPECT_EQ(std::count_if(owner.messages.begin(), z, [](const auto& m) { return m.msg == WM_SERIAL_WRITE_DONE; }), 3);
}

TEST_F(SerialLinkTest, WritesAreRefusedBeyondTheBufferAndTheQueue) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(pty.path);
    CSerialLink link(host, map);
    std::vector<std::uint8_t> tooLong(513, 0x55);
    EXPECT_FALSE(link.QueueWrite(tooLong.data(), 1));  // no port yet
    ASSERT_TRUE(Open(link, 1));
    EXPECT_FALSE(link.QueueWrite(tooLong.data(), tooLong.size()));
    // Not monitored yet: requests wait in the queue, up to its bound.
    int accepted = 0;
    for (int i = 0; i < 80; ++i) {
        const std::uint8_t b = static_cast<std::uint8_t>(i);
        accepted += link.QueueWrite(&b, 1);
    }
    EXPECT_EQ(accepted, 64);
    ASSERT_TRUE(link.StartMonitor());
    const std::string line = ReadLine(pty, 64);
    ASSERT_EQ(line.size(), 64u);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(static_cast<std::uint8_t>(line[i]), i);
    ASSERT_TRUE(Pump([&] { return owner.Count(WM_SERIAL_WRITE_DONE) == 64; }));
    EXPECT_TRUE(link.QueueWrite(tooLong.data(), 512));
    EXPECT_EQ(ReadLine(pty, 512).size(), 512u);
}

TEST_F(SerialLinkTest, ReopeningFromAHandlerSilencesTheOldDevice) {
    PtyPair a, b;
    ASSERT_TRUE(a.Ok() && b.Ok());
    const PortMap map = PortMap::FromList(a.path + "," + b.path);
    CSerialLink link(host, map);
    ASSERT_TRUE(Open(link, 1));
    ASSERT_TRUE(link.StartMonitor());

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const std::vector<std::uint8_t> chunk(64, 'a');
        while (!stop) a.Send(chunk, 50);
    });
    std::size_t reopenedAt = 0;
    owner.onMessage = [&](const RecordingOwner::Message&) {
        if (reopenedAt == 0 && owner.messages.size() >= 1000) {
            reopenedAt = owner.messages.size();
            EXPECT_TRUE(Open(link, 2));
            EXPECT_TRUE(link.StartMonitor());
        }
    };
    ASSERT_TRUE(Pump([&] { return reopenedAt != 0; }));
    ASSERT_TRUE(b.Send("new"));
    ASSERT_TRUE(Pump([&] {
        const std::string text = owner.Text();
        return text.size() >= 3 && text.compare(text.size() - 3, 3, "new") == 0;
    }));
    Settle(100);  // the old device keeps getting bytes meanwhile
    stop = true;
    writer.join();

    std::string after;
    for (std::size_t i = reopenedAt; i < owner.messages.size(); ++i) {
        EXPECT_EQ(owner.messages[i].lParam, 2) << i;
        if (owner.messages[i].msg == WM_SERIAL_RXCHAR) after += static_cast<char>(owner.messages[i].wParam);
    }
    EXPECT_EQ(after, "new");
}

TEST_F(SerialLinkTest, CloseFromABusyHandlerDeliversNothingMore) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(pty.path);
    CSerialLink link(host, map);
    ASSERT_TRUE(Open(link, 1));
    ASSERT_TRUE(link.StartMonitor());
    owner.onMessage = [&](const RecordingOwner::Message& m) {
        if (m.msg != WM_SERIAL_RXCHAR || owner.messages.size() != 1) return;
        // Busy: more bytes arrive meanwhile, then the handler closes.
        pty.Send(std::string(100, 'x'));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        link.RequestClose();
        EXPECT_FALSE(link.QueueWrite(reinterpret_cast<const std::uint8_t*>("w"), 1));
    };
    ASSERT_TRUE(pty.Send(std::string(50, 'f')));
    ASSERT_TRUE(Pump([&] { return !owner.messages.empty(); }));
    ASSERT_TRUE(Pump([&] { return !link.IsOpen(); }));
    ASSERT_TRUE(pty.Send("more"));
    Settle(100);
    ASSERT_EQ(owner.messages.size(), 1u);

    // The port can be taken again.
    owner.onMessage = nullptr;
    ASSERT_TRUE(Open(link, 1));
    ASSERT_TRUE(link.StartMonitor());
    ASSERT_TRUE(pty.Send("!"));
    ASSERT_TRUE(Pump([&] { return owner.Text().find('!') != std::string::npos; }));
}

TEST_F(SerialLinkTest, DestroyingTheLinkWhileADeliveryWaitsDoesNotHang) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(pty.path);
    auto link = std::make_unique<CSerialLink>(host, map);
    ASSERT_TRUE(Open(*link, 1));
    ASSERT_TRUE(link->StartMonitor());
    ASSERT_TRUE(pty.Send("xyz"));
    // The GUI thread does not run its loop: the monitor thread has read the
    // bytes and waits for their delivery.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (pty.Unread() != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    link.reset();
    Settle(50);
    EXPECT_TRUE(owner.messages.empty());
}

TEST_F(SerialLinkTest, FarEndClosingIsReportedOnceAndThePortCanBeOpenedAgain) {
    auto pty = std::make_unique<PtyPair>();
    ASSERT_TRUE(pty->Ok());
    // COM1 is a link to the pty, as udev's by-id names are; the second pty
    // takes its place.
    char dir[] = "/tmp/quillet-link-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string name = std::string(dir) + "/port";
    ASSERT_EQ(::symlink(pty->path.c_str(), name.c_str()), 0);
    CSerialLink link(host, PortMap::FromList(name));
    ASSERT_TRUE(Open(link, 1));
    ASSERT_TRUE(link.StartMonitor());
    ASSERT_TRUE(pty->Send("hi"));
    ASSERT_TRUE(Pump([&] { return owner.Count(WM_SERIAL_RXCHAR) == 2; }));

    pty->CloseMaster();
    ASSERT_TRUE(Pump([&] { return owner.Count(WM_SERIAL_LOST) == 1; }));
    Settle(100);
    EXPECT_EQ(owner.Count(WM_SERIAL_LOST), 1u);
    EXPECT_EQ(owner.messages.back().msg, WM_SERIAL_LOST);
    EXPECT_EQ(owner.messages.back().lParam, 1);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_FALSE(link.QueueWrite(reinterpret_cast<const std::uint8_t*>("w"), 1));
    // No "Application Error" box: the owner tells the operator in words of
    // the flow (the box is for failures of a port that is still there).
    EXPECT_TRUE(host.Boxes().empty());

    pty = std::make_unique<PtyPair>();
    ASSERT_TRUE(pty->Ok());
    ::unlink(name.c_str());
    ASSERT_EQ(::symlink(pty->path.c_str(), name.c_str()), 0);
    owner.messages.clear();
    ASSERT_TRUE(Open(link, 1));
    ASSERT_TRUE(link.StartMonitor());
    ASSERT_TRUE(pty->Send("ok"));
    ASSERT_TRUE(Pump([&] { return owner.Text() == "ok"; }));
    EXPECT_TRUE(host.Boxes().empty());
    ::unlink(name.c_str());
    ::rmdir(dir);
}

TEST_F(SerialLinkTest, AHeldPortCannotBeTakenBySecondLink) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const PortMap map = PortMap::FromList(pty.path);
    CSerialLink first(host, map), second(host, map);
    ASSERT_TRUE(Open(first, 1));
    ASSERT_TRUE(first.StartMonitor());
    EXPECT_FALSE(Open(second, 1));
    EXPECT_TRUE(second.OpenProblem().empty());
    if (::geteuid() != 0) {
        // Terminal programs that do not lock are kept out by the tty itself.
        const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_LT(fd, 0);
        EXPECT_EQ(errno, EBUSY);
        if (fd >= 0) ::close(fd);
    }
    first.RequestClose();
    ASSERT_TRUE(Pump([&] { return !first.IsOpen(); }));
    EXPECT_TRUE(Open(second, 1));
    EXPECT_TRUE(host.Boxes().empty());
}

TEST_F(SerialLinkTest, NoPermissionTellsTheOperatorWhatToDo) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ::chmod(pty.path.c_str(), 0);
    const std::string path = pty.path;
    const PortMap map = PortMap::FromList(path);
    // Root opens every device, so the open is tried by a child process that
    // has given up root for the "nobody" account.
    const bool asRoot = ::geteuid() == 0;
    const pid_t child = asRoot ? ::fork() : 0;
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 0;
        if (asRoot && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
        CSerialLink link(host, map);
        const std::string problem = link.OpenProblem();
        if (Open(link, 1)) code |= 1;
        const std::string after = link.OpenProblem();
        if (after.find("Permission denied on " + path) == std::string::npos) code |= 2;
        if (after.find("usermod -aG") == std::string::npos) code |= 4;
        if (!host.Boxes().empty()) code |= 8;
        if (!problem.empty()) code |= 16;
        if (link.LastOpenRefusal() != OpenRefusal::Denied) code |= 32;
        if (asRoot) ::_exit(code);
        EXPECT_EQ(code, 0);
    } else {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        // 1: opened anyway; 2, 4: no hint naming the device and the group;
        // 8: a box was shown; 16: a hint before any open; 32: another
        // refusal; 10: no "nobody".
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

} // namespace
} // namespace quillet
