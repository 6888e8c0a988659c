// Starts ..\win\quillet.exe beside this program, waits for its dialog and
// prints its layout in pixels, then closes it (run under wine by
// tests/wine/WineScalingTest.cpp at 96 and at 144 dots per inch):
//
//   dpi N                  the system's dots per inch
//   awareness A            the dialog window's DPI awareness: unaware,
//                          system, per-monitor or unknown
//   client W H             the dialog's client area
//   control ID CLASS X Y W H VISIBLE
//                          each child window, in the order the system keeps
//                          them, relative to the client area
//
// Exit code 0 when the dialog appeared and ended.
#define _WIN32_WINNT 0x0A00
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr DWORD kAppearLimitMs = 60000;
constexpr DWORD kEndLimitMs = 20000;
constexpr DWORD kPollMs = 20;

HWND g_dialog = nullptr;

BOOL CALLBACK FindDialog(HWND w, LPARAM process) {
    DWORD owner = 0;
    GetWindowThreadProcessId(w, &owner);
    wchar_t cls[64] = {};
    GetClassNameW(w, cls, 64);
    if (owner == static_cast<DWORD>(process) && std::wstring(cls) == L"#32770" && IsWindowVisible(w) &&
        !GetWindow(w, GW_OWNER)) {
        g_dialog = w;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK PrintControl(HWND w, LPARAM) {
    if (GetParent(w) != g_dialog) return TRUE;  // parts of a control (the combo box's edit)
    RECT r{};
    GetWindowRect(w, &r);
    MapWindowPoints(nullptr, g_dialog, reinterpret_cast<POINT*>(&r), 2);
    char cls[64] = {};
    GetClassNameA(w, cls, sizeof cls);
    std::printf("control %d %s %ld %ld %ld %ld %d\n", GetDlgCtrlID(w), cls, r.left, r.top, r.right - r.left,
                r.bottom - r.top, IsWindowVisible(w) ? 1 : 0);
    return TRUE;
}

const char* Awareness(HWND w) {
    const DPI_AWARENESS_CONTEXT context = GetWindowDpiAwarenessContext(w);
    if (!context) return "unknown";
    switch (GetAwarenessFromDpiAwarenessContext(context)) {
    case DPI_AWARENESS_UNAWARE: return "unaware";
    case DPI_AWARENESS_SYSTEM_AWARE: return "system";
    case DPI_AWARENESS_PER_MONITOR_AWARE: return "per-monitor";
    default: return "unknown";
    }
}

} // namespace

int main() {
    // Pixels as they are, not as a program unaware of the DPI would see them.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring program = self;
    program = program.substr(0, program.find_last_of(L"\\/")) + L"\\..\\win\\quillet.exe";
    std::wstring line = L"\"" + program + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::puts("FAILED: cannot start quillet.exe");
        return 1;
    }
    for (DWORD waited = 0; !g_dialog && waited < kAppearLimitMs; waited += kPollMs) {
        EnumWindows(FindDialog, static_cast<LPARAM>(pi.dwProcessId));
        if (!g_dialog) Sleep(kPollMs);
    }
    if (!g_dialog) {
        std::puts("FAILED: the dialog did not appear");
        TerminateProcess(pi.hProcess, 1);
        return 1;
    }
    HDC screen = GetDC(nullptr);
    std::printf("dpi %d\n", GetDeviceCaps(screen, LOGPIXELSY));
    ReleaseDC(nullptr, screen);
    std::printf("awareness %s\n", Awareness(g_dialog));
    RECT client{};
    GetClientRect(g_dialog, &client);
    std::printf("client %ld %ld\n", client.right, client.bottom);
    EnumChildWindows(g_dialog, PrintControl, 0);
    std::fflush(stdout);
    PostMessageW(g_dialog, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(pi.hProcess, kEndLimitMs) != WAIT_OBJECT_0) {
        std::puts("FAILED: the dialog did not end");
        TerminateProcess(pi.hProcess, 1);
        return 1;
    }
    return 0;
}
