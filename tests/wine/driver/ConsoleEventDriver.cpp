// Sends a console event to a program as Windows' console host does (run
// under wine by tests/wine/WineWindowsTest.cpp):
//
//   console_event_driver break|close WHEN PROGRAM [ARGS...]
//
// starts PROGRAM with ARGS and, once the file WHEN exists (the test makes
// it), delivers Ctrl+Break or the closing of the console window to it: a
// thread of the program's own at kernel32's CtrlRoutine with the event,
// which runs the program's console handlers. (wine's console passes on
// Ctrl+C alone: GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT) fails there,
// and closing a console sends no event.) It then waits for PROGRAM and ends
// with its exit code; 200 when PROGRAM could not be started or the event
// not delivered.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kDriverFailed = 200;
constexpr DWORD kPollMs = 20;

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
    const std::wstring kind = argv && argc >= 4 ? argv[1] : L"";
    if (kind != L"break" && kind != L"close") {
        std::fputs("usage: console_event_driver break|close WHEN PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    const DWORD event = kind == L"break" ? CTRL_BREAK_EVENT : CTRL_CLOSE_EVENT;
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
                                       reinterpret_cast<void*>(static_cast<ULONG_PTR>(event)), 0, nullptr);
    if (!thread) {
        TerminateProcess(pi.hProcess, kDriverFailed);
        Fail("the event was not delivered");
    }
    CloseHandle(thread);
    std::printf("driver: %s delivered\n", event == CTRL_BREAK_EVENT ? "Ctrl+Break" : "closing the console");
    std::fflush(stdout);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = kDriverFailed;
    GetExitCodeProcess(pi.hProcess, &code);
    return static_cast<int>(code);
}
