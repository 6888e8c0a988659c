#include "cli/Interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <initializer_list>

namespace quillet::cli {

namespace {

std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch a lock-free flag");

extern "C" void OnInterrupt(int sig) {
    int none = 0;
    // The first signal asks the flow to stop; a second one, while that
    // goes on, ends the program at once.
    if (!g_signal.compare_exchange_strong(none, sig)) std::_Exit(InterruptExitCode(sig));
}

} // namespace

void CatchInterrupt() {
#ifdef SIGHUP
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
#else
    for (int sig : {SIGINT, SIGTERM})
#endif
        if (std::signal(sig, OnInterrupt) == SIG_IGN) std::signal(sig, SIG_IGN);
}

int InterruptSignal() { return g_signal.load(); }

int InterruptExitCode(int signal) { return 128 + signal; }

const char* InterruptName(int signal) {
    switch (signal) {
    case SIGINT: return "Ctrl+C";
    case SIGTERM: return "SIGTERM";
#ifdef SIGHUP
    case SIGHUP: return "SIGHUP";
#endif
    default: return "a signal";
    }
}

} // namespace quillet::cli
