#include "cli/Interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <initializer_list>

#include "platform/WindowsHeaders.h"

namespace quillet::cli {

namespace {

std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch a lock-free flag");

#ifdef _WIN32
// SIGINT, SIGHUP and SIGTERM as POSIX numbers them: the exit codes are the
// same on every system.
constexpr int kSigIntNumber = 2;
constexpr int kSigHupNumber = 1;
constexpr int kSigTermNumber = 15;
#endif

// Notes the first signal; a second one, while the flow stops, ends the
// program at once. False when it was the second.
bool Note(int sig) {
    int none = 0;
    return g_signal.compare_exchange_strong(none, sig);
}

extern "C" void OnInterrupt(int sig) {
    if (!Note(sig)) std::_Exit(InterruptExitCode(sig));
}

#ifdef _WIN32
// The console events, kept apart from the C signals' numbers.
constexpr int kConsoleEventBase = 1000;
constexpr int kCtrlBreak = kConsoleEventBase + CTRL_BREAK_EVENT;
constexpr int kConsoleClosed = kConsoleEventBase + CTRL_CLOSE_EVENT;
constexpr int kLogoff = kConsoleEventBase + CTRL_LOGOFF_EVENT;
constexpr int kShutdown = kConsoleEventBase + CTRL_SHUTDOWN_EVENT;
// Windows ends a program 5 s after it was sent one of the ending events
// (window closed, logoff, shutdown); the flow stops well within this.
constexpr DWORD kEndingGraceMs = 4500;
constexpr DWORD kEndingPollMs = 50;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    const int sig = event == CTRL_C_EVENT ? SIGINT : kConsoleEventBase + static_cast<int>(event);
    const bool ending = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    if (!Note(sig) && !ending) std::_Exit(InterruptExitCode(sig));
    if (ending) {
        // Returning lets Windows end the program: instead the flow stops
        // meanwhile and the program ends by itself (ending this thread too).
        for (DWORD waited = 0; waited < kEndingGraceMs; waited += kEndingPollMs) Sleep(kEndingPollMs);
    }
    return TRUE;
}
#endif

} // namespace

void CatchInterrupt() {
#ifdef _WIN32
    // Ctrl+C and Ctrl+Break come as console events (a program started
    // with Ctrl+C disabled does not get them); SIGTERM only from raise().
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    if (std::signal(SIGTERM, OnInterrupt) == SIG_IGN) std::signal(SIGTERM, SIG_IGN);
#else
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (std::signal(sig, OnInterrupt) == SIG_IGN) std::signal(sig, SIG_IGN);
#endif
}

int InterruptSignal() { return g_signal.load(); }

int InterruptExitCode(int signal) {
    constexpr int kShellBase = 128;
#ifdef _WIN32
    switch (signal) {
    case SIGINT:
    case kCtrlBreak: return kShellBase + kSigIntNumber;
    case kConsoleClosed: return kShellBase + kSigHupNumber;
    default: return kShellBase + kSigTermNumber;  // SIGTERM, logoff, shutdown
    }
#else
    return kShellBase + signal;
#endif
}

const char* InterruptName(int signal) {
    switch (signal) {
    case SIGINT: return "Ctrl+C";
    case SIGTERM: return "SIGTERM";
#ifdef SIGHUP
    case SIGHUP: return "SIGHUP";
#endif
#ifdef _WIN32
    case kCtrlBreak: return "Ctrl+Break";
    case kConsoleClosed: return "closing the console window";
    case kLogoff: return "logging off";
    case kShutdown: return "shutting down Windows";
#endif
    default: return "a signal";
    }
}

} // namespace quillet::cli
