#include "cli/Console.h"

#include "platform/Utf8.h"
#include "platform/WindowsHeaders.h"

#ifdef _WIN32
#include <io.h>
#include <shellapi.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace quillet::cli {

bool IsTerminal(std::FILE* f) {
#ifdef _WIN32
    return _isatty(_fileno(f)) != 0;
#else
    return isatty(fileno(f)) != 0;
#endif
}

bool HandlesControlSequences(std::FILE* f) {
#ifdef _WIN32
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    return SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    (void)f;
    return true;
#endif
}

int TerminalColumns(std::FILE* f) {
#ifdef _WIN32
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (h == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(h, &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
#else
    winsize w{};
    if (ioctl(fileno(f), TIOCGWINSZ, &w) != 0) return 0;
    return w.ws_col;
#endif
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> args;
    int n = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide) return args;
    for (int i = 1; i < n; ++i) args.push_back(Utf8FromWide(wide[i]));
    LocalFree(wide);
    return args;
#else
    return std::vector<std::string>(argv + 1, argv + argc);
#endif
}

} // namespace quillet::cli
