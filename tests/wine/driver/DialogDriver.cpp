// Drives quillet.exe as an operator would, from another Windows program
// (run under wine by tests/wine/WineDialogTest.cpp):
//
//   dialog_driver IMAGE SLOT [--demo] [--end-session | --bench]
//
// starts ..\win\quillet.exe beside this program, picks the absent COM2 in
// the COM list and answers the box that says so, presses "Search Signal
// Generator" until the port button reads "Close Port", presses "Load
// Image" and answers the file dialog with IMAGE, enters SLOT and presses
// "SG NAND FLASH", closes the dialog and presses Escape while the blocks go
// out and answers No to each question, waits for 100 % and the port
// closing, and closes the dialog. Each step is printed, with the progress
// strip's text once the blocks go out and at the end; any other message box ends the run. Exit
// code 0 when every step happened. With --demo, quillet.exe is started
// with its in-process generator. With --bench nothing is asked during the
// upload, and the time from the first block to 100 % and the blocks per
// second it comes to are printed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kPortButton = 1006, kComList = 1106, kSearch = 1107, kLoadImage = 1185, kNandFlash = 1181,
              kSlot = 1184, kProgress = 1190, kStatus = 1183, kStrip = 1192;
constexpr int kFileNameCombo = 0x47C, kFileNameEdit = 0x480;  // cmb13, edt1 of the open dialog

HWND g_dialog = nullptr;
HANDLE g_process = nullptr;

[[noreturn]] void Fail(const std::string& why) {
    std::printf("FAILED: %s\n", why.c_str());
    std::fflush(stdout);
    if (g_process) TerminateProcess(g_process, 1);
    std::exit(1);
}

void Step(const std::string& text) {
    static const ULONGLONG start = GetTickCount64();
    std::printf("%6.1f s  %s\n", static_cast<double>(GetTickCount64() - start) / 1000.0, text.c_str());
    std::fflush(stdout);
}

std::string Text(HWND w) {
    wchar_t buffer[1024] = {};
    SendMessageTimeoutW(w, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, nullptr);
    char utf8[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, buffer, -1, utf8, sizeof utf8, nullptr, nullptr);
    return utf8;
}

std::string ItemText(int id) { return Text(GetDlgItem(g_dialog, id)); }

// How often WaitFor looks, and how often while --bench times the upload
// until its last percent. Each look (the windows enumerated for a box, the
// progress read from the dialog) costs requests to wine's server, which the
// dialog's upload shares: looking every 100 ms came to 1.0 to 1.3 requests
// a block beside the dialog's 21 then (counted with wineserver -d1; the
// dialog needs 10 now, and these looks 0.5). --bench
// looks every 20 ms again once the progress reads kBenchNearEnd, so the end
// is still timed to 20 ms: from there to 100 % an upload at 1500 blocks/s
// takes longer than one slow look.
constexpr int kPollMs = 20;
constexpr int kBenchPollMs = 500;
constexpr int kBenchNearEnd = 95;

// Waits until `done` holds, pumping nothing (the dialog is another process).
template <typename F>
bool WaitFor(F done, int seconds, int pollMs = kPollMs) {
    for (int waited = 0; waited < seconds * 1000; waited += pollMs) {
        if (done()) return true;
        Sleep(static_cast<DWORD>(pollMs));
    }
    return done();
}

// A window of the dialog class owned by the main dialog: a message box or
// the file dialog.
HWND g_found = nullptr;
BOOL CALLBACK FindOwned(HWND w, LPARAM) {
    wchar_t cls[64] = {};
    GetClassNameW(w, cls, 64);
    if (w != g_dialog && std::wstring(cls) == L"#32770" && GetWindow(w, GW_OWNER) == g_dialog &&
        IsWindowVisible(w)) {
        g_found = w;
        return FALSE;
    }
    return TRUE;
}
HWND OwnedWindow() {
    g_found = nullptr;
    EnumWindows(FindOwned, 0);
    return g_found;
}

// The text of a message box: its static text (id 0xFFFF).
std::string BoxText(HWND box) { return Text(GetDlgItem(box, 0xFFFF)); }

void NoBox(const char* during) {
    if (HWND box = OwnedWindow()) Fail(std::string("a box during ") + during + ": " + Text(box) + ": " + BoxText(box));
}

// The progress strip's text on one line (its line ends as " | "), and
// whether the strip lies whole inside the dialog's client area.
std::string StripShown() {
    std::string text = ItemText(kStrip);
    for (std::size_t at; (at = text.find('\n')) != std::string::npos;)
        text.replace(at, 1, " | ");
    RECT strip{}, client{};
    GetWindowRect(GetDlgItem(g_dialog, kStrip), &strip);
    GetClientRect(g_dialog, &client);
    MapWindowPoints(g_dialog, nullptr, reinterpret_cast<POINT*>(&client), 2);
    const bool inside = strip.bottom <= client.bottom && strip.top >= client.top;
    return "\"" + text + "\"" + (inside ? "" : " (cut off)");
}

// The Escape key on the control that has the focus (the dialog itself when
// none of its controls has it), as the keyboard gives it: the dialog's
// message loop hands keys to the dialog manager, which makes it IDCANCEL.
void PressEscape() {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    HWND target = g_dialog;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(g_dialog, nullptr), &info) && info.hwndFocus &&
        IsChild(g_dialog, info.hwndFocus))
        target = info.hwndFocus;
    constexpr LPARAM kKeyDown = 1, kKeyUp = static_cast<LPARAM>(0xC0000001u);  // repeat 1; released
    PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, kKeyDown);
    PostMessageW(target, WM_KEYUP, VK_ESCAPE, kKeyUp);
}

void Click(int id) {
    PostMessageW(g_dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(g_dialog, id)));
}

} // namespace

// The blocks of a user pattern (1920 x 1080 x 3 bytes, 256 a block).
constexpr double kPatternBlocks = 24300;

int main(int argc, char** argv) {
    bool demo = false, endSession = false, bench = false;
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--demo") demo = true;
        else if (a == "--end-session") endSession = true;
        else if (a == "--bench") bench = true;
        else argc = 0;
    }
    if (argc < 3) {
        std::fputs("usage: dialog_driver IMAGE SLOT [--demo] [--end-session | --bench]\n", stderr);
        return 2;
    }
    const std::string image = argv[1];
    const std::string slot = argv[2];

    // ..\win\quillet.exe from this program's folder.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring program = self;
    program = program.substr(0, program.find_last_of(L"\\/")) + L"\\..\\win\\quillet.exe";
    std::wstring line = L"\"" + program + L"\"" + (demo ? L" --demo" : L"");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        Fail("cannot start quillet.exe");
    g_process = pi.hProcess;
    if (!WaitFor([] { return (g_dialog = FindWindowW(L"#32770", L"User Quillet 0.91")) != nullptr; }, 60))
        Fail("the dialog did not appear");
    // Initialised: the COM list filled and COM1 selected, the window shown.
    HWND combo = nullptr;
    if (!WaitFor([&] {
            combo = GetDlgItem(g_dialog, kComList);
            return combo && SendMessageW(combo, CB_GETCOUNT, 0, 0) == 100 &&
                   SendMessageW(combo, CB_GETCURSEL, 0, 0) == 0 && IsWindowVisible(g_dialog);
        }, 60))
        Fail("the dialog did not initialise");
    Step("dialog up");

    // COM2 is absent: the box says so and is answered.
    SendMessageW(combo, CB_SETCURSEL, 1, 0);
    PostMessageW(g_dialog, WM_COMMAND, MAKEWPARAM(kComList, CBN_SELENDOK), reinterpret_cast<LPARAM>(combo));
    HWND box = nullptr;
    if (!WaitFor([&] { return (box = OwnedWindow()) != nullptr; }, 20)) Fail("no box for the absent COM2");
    Step("box \"" + Text(box) + "\": " + BoxText(box));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    if (!WaitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 10)) Fail("the box stayed");
    if (ItemText(kPortButton) != "Turn on Port") Fail("port shown open after the failed open");

    Click(kSearch);
    if (!WaitFor([] { NoBox("the search"); return ItemText(kPortButton) == "Close Port"; }, 60))
        Fail("the search found nothing");
    Step("found on COM" + std::to_string(SendMessageW(combo, CB_GETCURSEL, 0, 0) + 1));

    Click(kLoadImage);
    HWND open = nullptr;
    if (!WaitFor([&] { return (open = OwnedWindow()) != nullptr; }, 30)) Fail("no file dialog");
    Step("file dialog \"" + Text(open) + "\"");
    HWND name = GetDlgItem(open, kFileNameCombo);
    if (!name) name = GetDlgItem(open, kFileNameEdit);
    if (!name) Fail("the file dialog has no file name field");
    wchar_t wide[MAX_PATH] = {};
    MultiByteToWideChar(CP_UTF8, 0, image.c_str(), -1, wide, MAX_PATH);
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide));
    if (HWND edit = FindWindowExW(name, nullptr, L"Edit", nullptr))
        SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide));
    Step("file name \"" + Text(name) + "\"");
    PostMessageW(open, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(open, IDOK)));
    if (!WaitFor([&] { return !IsWindow(open) || !IsWindowVisible(open); }, 20)) Fail("the file dialog stayed");
    if (!WaitFor([] { NoBox("Load Image"); return IsWindowEnabled(GetDlgItem(g_dialog, kNandFlash)) != 0; }, 30))
        Fail("the image did not load");
    Step("image loaded");

    const std::wstring slotText(slot.begin(), slot.end());
    SendMessageW(GetDlgItem(g_dialog, kSlot), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(slotText.c_str()));
    Click(kNandFlash);
    // Once blocks go out, the close box and Escape ask first; No lets the
    // upload go on.
    if (!WaitFor([] { NoBox("the erase"); return ItemText(kProgress) != "0"; }, 60)) Fail("the upload did not start");
    const ULONGLONG firstBlock = GetTickCount64();
    if (bench) {
        if (!WaitFor([] { NoBox("the upload"); return std::atoi(ItemText(kProgress).c_str()) >= kBenchNearEnd; },
                     600, kBenchPollMs) ||
            !WaitFor([] { return ItemText(kProgress) == "100"; }, 60))
            Fail("the upload stalled");
        const double seconds = static_cast<double>(GetTickCount64() - firstBlock) / 1000.0;
        Step("100 %");
        std::printf("upload %.1f s (%.0f blocks/s)\n", seconds, kPatternBlocks / seconds);
        std::fflush(stdout);
        if (!WaitFor([] { return ItemText(kPortButton) == "Turn on Port"; }, 10)) Fail("the port stayed open");
        PostMessageW(g_dialog, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0) Fail("the dialog did not end");
        return 0;
    }
    Step("strip " + StripShown());
    for (const char* how : {"close", "escape"}) {
        if (std::string(how) == "close")
            PostMessageW(g_dialog, WM_CLOSE, 0, 0);
        else
            PressEscape();
        HWND question = nullptr;
        if (!WaitFor([&] { return (question = OwnedWindow()) != nullptr; }, 20))
            Fail(std::string("no question on ") + how);
        Step(std::string(how) + " asked \"" + Text(question) + "\": " + BoxText(question));
        PostMessageW(question, WM_COMMAND, IDNO, 0);
        if (!WaitFor([&] { return !IsWindow(question) || !IsWindowVisible(question); }, 10)) Fail("the question stayed");
    }
    // Windows asks whether the session may end (shutdown, logoff): held up
    // while the upload runs, which goes on.
    DWORD_PTR mayEnd = 1;
    SendMessageTimeoutW(g_dialog, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000, &mayEnd);
    SendMessageTimeoutW(g_dialog, WM_ENDSESSION, FALSE, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
    Step(mayEnd ? "end of session allowed" : "end of session held up");
    if (endSession) {
        // An end Windows does not wait for: allowed, and the upload stops
        // cleanly before Windows ends the program (here the driver does).
        SendMessageTimeoutW(g_dialog, WM_QUERYENDSESSION, 0, ENDSESSION_CRITICAL, SMTO_ABORTIFHUNG, 5000, &mayEnd);
        Step(mayEnd ? "critical end of session allowed" : "critical end of session held up");
        SendMessageTimeoutW(g_dialog, WM_ENDSESSION, TRUE, ENDSESSION_CRITICAL, SMTO_ABORTIFHUNG, 20000, nullptr);
        Step("session ended: status \"" + ItemText(kStatus) + "\", port button \"" + ItemText(kPortButton) + "\"");
        TerminateProcess(pi.hProcess, 0);
        return 0;
    }
    if (!WaitFor([] { NoBox("the upload"); return ItemText(kProgress) == "100"; }, 300)) Fail("the upload stalled");
    Step("100 %");
    if (!WaitFor([] { return ItemText(kPortButton) == "Turn on Port"; }, 10)) Fail("the port stayed open");
    Step("port closed");
    Step("status: " + ItemText(kStatus));
    Step("strip at the end " + StripShown());

    PostMessageW(g_dialog, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0) Fail("the dialog did not end");
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    Step("dialog ended, exit code " + std::to_string(code));
    return code == 0 ? 0 : 1;
}
