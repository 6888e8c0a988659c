// Stands in front of the C library's tcsetattr for this test program, so the
// tests see which line settings the link asked for (a pseudo-terminal cannot
// keep the parity bit, so reading the settings back cannot show it) and can
// make the call fail like a driver that refuses a setting; and in front of
// tcdrain, which returns at once on a pseudo-terminal, to count the waits
// for an empty line.
#include <dlfcn.h>
#include <termios.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <vector>

#include "SerialTestSupport.h"

namespace {

std::mutex g_lock;
std::vector<tcflag_t> g_requests;
std::set<int> g_ignored;
int g_failWith = 0;
std::size_t g_drains = 0;

using TcSetAttr = int (*)(int, int, const struct termios*);
using TcDrain = int (*)(int);

TcSetAttr RealTcSetAttr() {
    static const TcSetAttr real = reinterpret_cast<TcSetAttr>(dlsym(RTLD_NEXT, "tcsetattr"));
    return real;
}

} // namespace

extern "C" int tcsetattr(int fd, int optionalActions, const struct termios* tio) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!g_ignored.count(fd)) {
            g_requests.push_back(tio->c_cflag);
            if (g_failWith != 0) {
                errno = g_failWith;
                return -1;
            }
        }
    }
    return RealTcSetAttr()(fd, optionalActions, tio);
}

extern "C" int tcdrain(int fd) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (!g_ignored.count(fd)) ++g_drains;
    }
    static const TcDrain real = reinterpret_cast<TcDrain>(dlsym(RTLD_NEXT, "tcdrain"));
    return real(fd);
}

namespace quillet::test {

void TermiosHook::Reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_requests.clear();
    g_ignored.clear();
    g_failWith = 0;
    g_drains = 0;
}

std::size_t TermiosHook::Drains() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_drains;
}

std::vector<tcflag_t> TermiosHook::Requests() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_requests;
}

void TermiosHook::FailWith(int error) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_failWith = error;
}

void TermiosHook::Ignore(int fd) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_ignored.insert(fd);
}

} // namespace quillet::test
