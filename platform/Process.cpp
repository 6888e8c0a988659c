#include "platform/Process.h"

#include <cstdlib>

#include "platform/Utf8.h"
#include "platform/WindowsHeaders.h"

namespace quillet {

bool StartDetached(const std::string& commandLine, [[maybe_unused]] int showCmd) {
#ifdef _WIN32
    std::wstring line = WideFromUtf8(commandLine);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = static_cast<WORD>(showCmd);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
#else
    // In the background: the caller does not wait.
    return std::system((commandLine + " >/dev/null 2>&1 &").c_str()) == 0;
#endif
}

} // namespace quillet
