// Test support for the serial link: pseudo-terminal pairs, a recording
// owner window and the termios hook (TermiosHook.cpp).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "serial/SerialPort.h"

namespace quillet::test {

// What the program asked of tcsetattr, and a way to make it fail.
struct TermiosHook {
    static void Reset();
    // Requested c_cflag of every tcsetattr on a descriptor other than the
    // test's own, in order.
    static std::vector<tcflag_t> Requests();
    // From now on every such tcsetattr fails with `error` (0: none fails).
    static void FailWith(int error);
    // Descriptors the hook leaves alone (the test's own ends).
    static void Ignore(int fd);
    // tcdrain calls on a descriptor other than the test's own.
    static std::size_t Drains();
};

// A pseudo-terminal: the link opens the slave by its path, the test plays
// the instrument on the master. The test keeps its own slave descriptor so
// that it can look at the line settings and the input queue.
class PtyPair {
public:
    PtyPair() {
        char name[128] = {};
        int m = -1, s = -1;
        if (::openpty(&m, &s, name, nullptr, nullptr) != 0) return;
        master = m;
        slave = s;
        path.assign(name, ::strnlen(name, sizeof name));
        TermiosHook::Ignore(master);
        TermiosHook::Ignore(slave);
        termios tio{};
        ::tcgetattr(master, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(master, TCSANOW, &tio);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        CloseMaster();
        if (slave >= 0) ::close(slave);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return master >= 0 && !path.empty(); }
    void CloseMaster() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    // Sends as the instrument: waits for room in the tty, for at most
    // `ms` milliseconds in all. False when not everything went.
    bool Send(const std::vector<std::uint8_t>& bytes, int ms = 10000) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::size_t done = 0;
        while (done < bytes.size()) {
            if (std::chrono::steady_clock::now() > until) return false;
            pollfd p{master, POLLOUT, 0};
            if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLOUT)) continue;
            const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool Send(const std::string& text) const { return Send(std::vector<std::uint8_t>(text.begin(), text.end())); }
    // What the program has written so far and not yet taken.
    std::string Drain() const {
        std::string got;
        for (;;) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
            char buf[4096];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
    // Bytes waiting in the slave's input queue, not yet read by the link.
    int Unread() const {
        int n = 0;
        ::ioctl(slave, FIONREAD, &n);
        return n;
    }
    // Waits (off the GUI thread's loop) until the slave's input queue holds
    // `count` bytes; false after `ms` milliseconds.
    bool WaitUnread(int count, int ms = 5000) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (Unread() < count) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    int master = -1;
    int slave = -1;
    std::string path;
};

// The owner window: records every message, in order, and can act on it.
class RecordingOwner : public ISerialOwner {
public:
    struct Message {
        unsigned msg;
        std::uintptr_t wParam;
        std::intptr_t lParam;
    };
    long OnSerialMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override {
        messages.push_back(Message{msg, wParam, lParam});
        if (onMessage) onMessage(messages.back());
        return 0;
    }
    std::vector<std::uint8_t> Bytes() const {
        std::vector<std::uint8_t> bytes;
        for (const Message& m : messages)
            if (m.msg == WM_SERIAL_RXCHAR) bytes.push_back(static_cast<std::uint8_t>(m.wParam));
        return bytes;
    }
    std::string Text() const {
        const auto bytes = Bytes();
        return std::string(bytes.begin(), bytes.end());
    }
    std::size_t Count(unsigned msg) const {
        std::size_t n = 0;
        for (const Message& m : messages) n += m.msg == msg;
        return n;
    }

    std::vector<Message> messages;
    std::function<void(const Message&)> onMessage;
};

} // namespace quillet::test
