// Sends a console event to a program as Windows' console host does (run
// under wine by tests/wine/WineWindowsTest.cpp):
//
//   console_event_driver break|close|logoff|shutdown WHEN PROGRAM [ARGS...]
//
// starts PROGRAM with ARGS and, once the file WHEN exists (the test makes
// it), delivers Ctrl+Break, the closing of the console window, the user
// logging off or Windows shutting down to it: a thread of the program's
// own at kernel32's CtrlRoutine with the event, which runs the program's
// console handlers. (wine's console passes on Ctrl+C alone:
// GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT) fails there, and closing a
// console, logging off or shutting down sends no event.) It then waits for PROGRAM and ends
// with its exit code; 200 when PROGRAM could not be started or the event
// not delivered.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kDriverFailed = 200;
constexpr DWORD kPollMs = 20;

struct ConsoleEvent {
    const wchar_t* word;  // as the command line names it
    DWORD event;
    const char* told;     // as the driver reports it
};
constexpr ConsoleEvent kEvents[] = {
    {L"break", CTRL_BREAK_EVENT, "Ctrl+Break"},
    {L"close", CTRL_CLOSE_EVENT, "closing the console"},
    {L"logoff", CTRL_LOGOFF_EVENT, "logging off"},
    {L"shutdown", CTRL_SHUTDOWN_EVENT, "shutting down"},
};

const ConsoleEvent* FindEvent(const std::wstring& word) {
    for (const ConsoleEvent& e : kEvents)
        if (word == e.word) return &e;
    return nullptr;
}

// The arguments from `first` on, quoted as the C library splits them again.
std::wstring CommandLine(int argc, wchar_t** argv, int first) {
    std::wstring line;
    for (int i = first; i < argc; ++i) {
        if (!line.empty()) line += L' ';
        line += L'"';
        line += argv[i];
        line += L'"';
    }
    return line;
}

[[noreturn]] void Fail(const char* what) {
    std::printf("driver: %s (error %lu)\n", what, GetLastError());
    std::fflush(stdout);
    std::exit(kDriverFailed);
}

} // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const ConsoleEvent* chosen = argv && argc >= 4 ? FindEvent(argv[1]) : nullptr;
    if (!chosen) {
        std::fputs("usage: console_event_driver break|close|logoff|shutdown WHEN PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CtrlRoutine")));
    if (!routine) Fail("no CtrlRoutine in kernel32");

    std::wstring line = CommandLine(argc, argv, 3);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        Fail("cannot start the program");
    while (GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES)
        if (WaitForSingleObject(pi.hProcess, kPollMs) == WAIT_OBJECT_0) Fail("the program ended first");
    HANDLE thread = CreateRemoteThread(pi.hProcess, nullptr, 0, routine,
                                       reinterpret_cast<void*>(static_cast<ULONG_PTR>(chosen->event)), 0, nullptr);
    if (!thread) {
        TerminateProcess(pi.hProcess, kDriverFailed);
        Fail("the event was not delivered");
    }
    CloseHandle(thread);
    std::printf("driver: %s delivered\n", chosen->told);
    std::fflush(stdout);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = kDriverFailed;
    GetExitCodeProcess(pi.hProcess, &code);
    return static_cast<int>(code);
}
