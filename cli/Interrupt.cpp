#include "cli/Interrupt.h"

#include <csignal>
#include <initializer_list>

namespace quillet::cli {

namespace {
volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int sig) {
    g_interrupted = 1;
    // The next one ends the program the usual way.
    std::signal(sig, SIG_DFL);
}
} // namespace

void CatchInterrupt() {
    // A signal the program was started to ignore (a background job) stays ignored.
    for (int sig : {SIGINT, SIGTERM})
        if (std::signal(sig, OnInterrupt) == SIG_IGN) std::signal(sig, SIG_IGN);
}

bool Interrupted() { return g_interrupted != 0; }

} // namespace quillet::cli
