// Stands in front of the C library's tcsetattr for this test program, so the
// tests see which line settings the link asked for (a pseudo-terminal cannot
// keep the parity bit, so reading the settings back cannot show it) and can
// make the call fail like a driver that refuses a setting.
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

using TcSetAttr = int (*)(int, int, const struct termios*);

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

namespace quillet::test {

void TermiosHook::Reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_requests.clear();
    g_ignored.clear();
    g_failWith = 0;
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
