#include "win/LoaderDialog.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <winsock2.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "dialog/DialogTemplate.h"
#include "dialog/IconArt.h"
#include "dialog/Resources.h"
#include "platform/Process.h"
#include "platform/Utf8.h"
#include "serial/PortMap.h"
#include "win/DialogBuilder.h"

namespace quillet::win {

namespace {

constexpr UINT kMsgPosted = WM_APP + 1;     // work posted from any thread
constexpr UINT kMsgCall = WM_APP + 2;       // lParam: a std::function<void()> to run now
constexpr UINT kMsgAfterInit = WM_APP + 3;  // the dialog is up
// The COM list's tooltip breaks its lines at their line ends and wraps
// longer ones (the adapter advice) at this width, in pixels.
constexpr LPARAM kTipMaxWidth = 640;
// Texts the dialog sets reach the screen at most this often: the progress
// and the strip below the controls change with every block.
constexpr ULONGLONG kTextRefreshMs = 50;
// The window timer that shows texts held back (beyond the dialog's own ids).
constexpr UINT_PTR kTimerShowTexts = 0x7F01;
// Once posted work has run, the loop waits this long for more before it
// sleeps in the queue, and looks at the queue at least this often while
// work keeps coming (see RunMessageLoop).
constexpr DWORD kPostWaitMs = 5;
constexpr ULONGLONG kQueueLookMs = 5;

std::wstring W(const std::string& utf8) { return WideFromUtf8(utf8); }

// "bmp file(*.bmp)|*.bmp|all file(*.*)|*.*||" as GetOpenFileName takes it:
// the same pieces separated by NULs, ending with two.
std::wstring FilterText(const std::string& filter) {
    std::wstring text = W(filter);
    for (wchar_t& c : text)
        if (c == L'|') c = L'\0';
    text.push_back(L'\0');
    return text;
}

// The icons' sizes at 96 dots per inch; a window of another DPI gets them
// scaled as its template is (48 and 24 pixels at 150 %).
constexpr int kLargeIcon = 32;
constexpr int kSmallIcon = 16;

int ScaledIcon(HWND hwnd, int size) {
    const UINT dpi = GetDpiForWindow(hwnd);
    return dpi ? MulDiv(size, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI) : size;
}

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
    switch (msg) {
    case WM_INITDIALOG:
        // The first control of template 100 is its icon static.
        if (HWND icon = GetWindow(hwnd, GW_CHILD))
            SendMessageW(icon, STM_SETICON,
                         reinterpret_cast<WPARAM>(LoaderDialog::Icon(IDR_MAINFRAME, ScaledIcon(hwnd, kLargeIcon))), 0);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            ::EndDialog(hwnd, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

// Puts the dialog in the middle of the work area (the screen less the
// taskbar) of the monitor it starts on.
void CentreOnScreen(HWND hwnd) {
    RECT window{};
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetWindowRect(hwnd, &window) ||
        !GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor))
        return;
    const RECT& area = monitor.rcWork;
    const int width = window.right - window.left, height = window.bottom - window.top;
    const int x = area.left + std::max(0, static_cast<int>(area.right - area.left - width) / 2);
    const int y = area.top + std::max(0, static_cast<int>(area.bottom - area.top - height) / 2);
    SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Labels, buttons and read-only fields: their texts change only when the
// program sets them.
bool OnlyProgramWrites(HWND item) {
    wchar_t name[16] = {};
    if (!item || !GetClassNameW(item, name, 16)) return false;
    if (lstrcmpiW(name, L"Static") == 0 || lstrcmpiW(name, L"Button") == 0) return true;
    return lstrcmpiW(name, L"Edit") == 0 && (GetWindowLongPtrW(item, GWL_STYLE) & ES_READONLY) != 0;
}

} // namespace

LoaderDialog::LoaderDialog(PortMap map, CSerialLink::DeviceFactory makeDevice)
    : m_map(std::move(map)), m_makeDevice(std::move(makeDevice)) {}

LoaderDialog::~LoaderDialog() {
    m_dlg.reset();
    if (m_socketsStarted) WSACleanup();
}

INT_PTR LoaderDialog::Run() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    m_guiThread = GetCurrentThreadId();
    const std::vector<std::uint16_t> t = BuildDialogTemplate(MainDialogTemplate());
    if (!CreateDialogIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<const DLGTEMPLATE*>(t.data()),
                                    nullptr, DialogProc, reinterpret_cast<LPARAM>(this)))
        return -1;
    RunMessageLoop();
    // The port closes and the monitor thread ends with the window (WM_DESTROY).
    if (IsWindow(m_hwnd)) DestroyWindow(m_hwnd);
    return m_result;
}

// The dialog's messages until it ends, as the dialog manager's modal loop
// handles them (the dialog keys through IsDialogMessage, the window shown
// once the queue is first empty or the first timer fires), and the work
// other threads post. While blocks go out the serial link posts a burst or
// a write completion every fraction of a millisecond; a window message for
// each, waited for in the queue, costs wine's server five requests (the
// post; GetMessage looks, waits and looks again; the dialog manager's
// look). So once posted work has run, the loop waits for the next on the
// post counter (WaitOnAddress, a futex under wine) for as long as it keeps
// coming, and looks at the queue every kQueueLookMs meanwhile.
void LoaderDialog::RunMessageLoop() {
    while (!m_ended && IsWindow(m_hwnd)) {
        if (!PumpMessages()) return;
        if (m_ended) return;
        Show();
        RunPosted();
        if (std::exchange(m_postedRan, false)) RunPostedWhileComing();
        else WaitMessage();
    }
}

void LoaderDialog::Show() {
    if (!m_shown) ShowWindow(m_hwnd, SW_SHOWNORMAL);
    m_shown = true;
}

// Handles every message waiting; false once WM_QUIT came (it ends the
// dialog and is left for the caller's loop).
bool LoaderDialog::PumpMessages() {
    MSG msg{};
    while (!m_ended && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return false;
        }
        if (msg.message == WM_TIMER) Show();
        if (!IsDialogMessageW(m_hwnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}

void LoaderDialog::RunPostedWhileComing() {
    const ULONGLONG start = GetTickCount64();
    while (!m_ended && GetTickCount64() - start < kQueueLookMs && WaitForPosted()) RunPosted();
}

// Waits up to kPostWaitMs for work to be posted; true when some waits. Work
// posted meanwhile wakes it through the counter, not a window message.
bool LoaderDialog::WaitForPosted() {
    std::uint32_t seen = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_posted.empty()) return true;
        m_waitingForPost = true;
        seen = m_postCount.load();
    }
    WaitOnAddress(PostCounter(), &seen, sizeof seen, kPostWaitMs);
    std::lock_guard<std::mutex> guard(m_lock);
    m_waitingForPost = false;
    return !m_posted.empty();
}

INT_PTR CALLBACK LoaderDialog::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        auto* self = reinterpret_cast<LoaderDialog*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->m_hwnd = hwnd;
        return self->OnInit() ? TRUE : FALSE;
    }
    auto* self = reinterpret_cast<LoaderDialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    return self ? self->Handle(msg, wParam, lParam) : FALSE;
}

bool LoaderDialog::OnInit() {
    // The lists' initialisation data.
    for (const std::string& entry : ComListEntries())
        SendDlgItemMessageW(m_hwnd, IDC_COM_LIST, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(entry).c_str()));
    for (const std::string& entry : McuListEntries())
        SendDlgItemMessageW(m_hwnd, IDC_MCU_LIST, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(entry).c_str()));

    // The about item (string 101) at the end of the system menu.
    if (HMENU menu = GetSystemMenu(m_hwnd, FALSE)) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, W(kStrAbout).c_str());
    }
    SendMessageW(m_hwnd, WM_SETICON, ICON_BIG,
                 reinterpret_cast<LPARAM>(Icon(IDR_MAINFRAME, ScaledIcon(m_hwnd, kLargeIcon))));
    SendMessageW(m_hwnd, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(Icon(IDR_MAINFRAME, ScaledIcon(m_hwnd, kSmallIcon))));

    // The preview is drawn inside its black frame after the frame itself.
    SetWindowSubclass(GetDlgItem(m_hwnd, IDC_PREVIEW), PreviewProc, 1, reinterpret_cast<DWORD_PTR>(this));

    // The COM list's tooltip: the device behind the selected COM number.
    m_tooltip = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_hwnd, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    if (m_tooltip) {
        SendMessageW(m_tooltip, TTM_SETMAXTIPWIDTH, 0, kTipMaxWidth);
        HWND combo = GetDlgItem(m_hwnd, IDC_COM_LIST);
        for (HWND part : {combo, GetWindow(combo, GW_CHILD)}) {
            if (!part) continue;
            TOOLINFOW tool{};
            tool.cbSize = sizeof tool;
            tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
            tool.hwnd = m_hwnd;
            tool.uId = reinterpret_cast<UINT_PTR>(part);
            tool.lpszText = LPSTR_TEXTCALLBACKW;
            SendMessageW(m_tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        }
    }

    AddControls();
    FitCommLabel();
    DragAcceptFiles(m_hwnd, TRUE);
    CentreOnScreen(m_hwnd);

    m_link = std::make_unique<CSerialLink>(*this, m_map, m_makeDevice);
    if (trace) m_link = trace->Tap(std::move(m_link), m_map);
    m_dlg = std::make_unique<CLoaderDlg>(*this, m_link.get());
    if (trace) trace->Follow(*m_dlg);
    m_dlg->SetSettings(m_settings.get());
    m_dlg->SetPortAdviceSource([this] { return SelectedPortAdvice(); });
    m_dlg->OnInitDialog();
    if (afterInit) PostMessageW(m_hwnd, kMsgAfterInit, 0, 0);
    // The kind searched for last time: its button has the focus (Enter
    // presses it); nothing is searched by itself.
    HWND remembered = GetDlgItem(m_hwnd, m_dlg->RememberedSearchButton());
    if (!remembered || !IsWindowVisible(remembered)) return true;
    SetFocus(remembered);
    return false;
}

// The labels the dialog writes beyond the template, in the dialog's font;
// the window grows by the strip below the template.
void LoaderDialog::AddControls() {
    const HFONT font = reinterpret_cast<HFONT>(SendMessageW(m_hwnd, WM_GETFONT, 0, 0));
    for (const ControlTemplate& c : AddedControls()) {
        RECT r{c.x, c.y, c.x + c.w, c.y + c.h};
        MapDialogRect(m_hwnd, &r);
        HWND label = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, r.left, r.top,
                                     r.right - r.left, r.bottom - r.top, m_hwnd,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), GetModuleHandleW(nullptr),
                                     nullptr);
        if (label) SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    RECT client{0, 0, 0, MainDialogHeight()};
    MapDialogRect(m_hwnd, &client);
    SetClientHeight(client.bottom);
}

void LoaderDialog::SetClientHeight(int height) {
    RECT now{};
    GetClientRect(m_hwnd, &now);
    RECT frame{0, 0, now.right, height};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(m_hwnd, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(m_hwnd, GWL_EXSTYLE)));
    SetWindowPos(m_hwnd, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The static breaks the lines at their line ends and wraps the advice at
// the strip's width; the strip's box in the template holds one line.
void LoaderDialog::FitStrip(const std::wstring& text) {
    HWND strip = Item(IDC_PROGRESS_STRIP);
    if (!strip) return;
    RECT box{};
    for (const ControlTemplate& c : AddedControls())
        if (c.id == IDC_PROGRESS_STRIP) box = RECT{c.x, c.y, c.x + c.w, c.y + c.h};
    MapDialogRect(m_hwnd, &box);
    LONG height = box.bottom - box.top;
    if (text.find(L'\n') != std::wstring::npos) {
        RECT needed{0, 0, box.right - box.left, 0};
        HDC dc = GetDC(strip);
        const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(strip, WM_GETFONT, 0, 0)));
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &needed,
                  DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
        SelectObject(dc, old);
        ReleaseDC(strip, dc);
        height = std::max(height, needed.bottom);
    }
    RECT now{};
    GetWindowRect(strip, &now);
    if (now.bottom - now.top == height) return;
    SetWindowPos(strip, nullptr, 0, 0, box.right - box.left, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client{0, 0, 0, MainDialogHeight()};
    MapDialogRect(m_hwnd, &client);
    SetClientHeight(client.bottom + height - (box.bottom - box.top));
}

// "Comm:" in the font the system gives may need more than its box: it grows
// to the left, into the free space the port icon leaves, and keeps its
// right edge. The dialog manager makes the controls in template order.
void LoaderDialog::FitCommLabel() {
    HWND label = GetWindow(m_hwnd, GW_CHILD);
    for (std::size_t i = 0; label && i < CommLabelRoom().index; ++i) label = GetWindow(label, GW_HWNDNEXT);
    if (!label) return;
    RECT box{};
    GetWindowRect(label, &box);
    MapWindowPoints(nullptr, m_hwnd, reinterpret_cast<POINT*>(&box), 2);
    const std::wstring text = W(GetItemTextOf(label));
    HDC dc = GetDC(label);
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    if (size.cx <= box.right - box.left) return;
    RECT limit{CommLabelRoom().minX, 0, 0, 0};
    MapDialogRect(m_hwnd, &limit);
    const LONG left = std::max(limit.left, box.right - size.cx);
    MoveWindow(label, left, box.top, box.right - left, box.bottom - box.top, FALSE);
}

// The first file dropped loads as with "Load Image".
void LoaderDialog::OnDropFiles(WPARAM dropHandle) {
    const HDROP drop = reinterpret_cast<HDROP>(dropHandle);
    const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
    std::wstring path(length + 1, L'\0');
    DragQueryFileW(drop, 0, path.data(), length + 1);
    DragFinish(drop);
    path.resize(length);
    if (m_dlg && length > 0) m_dlg->DropImageFile(Utf8FromWide(path));
}

INT_PTR LoaderDialog::Handle(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_COMMAND: {
        if (!m_dlg) return FALSE;
        const int id = LOWORD(wParam);
        const int code = HIWORD(wParam);
        if (id == IDCANCEL) {  // Escape closes the dialog as the close box does
            m_dlg->OnClose();
            return TRUE;
        }
        if (id == IDOK) return TRUE;  // Enter presses no button but a focused one
        if (id == IDC_COM_LIST || id == IDC_MCU_LIST) {
            if (code == CBN_SELENDOK) m_dlg->OnCommand(id);
            return TRUE;
        }
        if (code == BN_CLICKED && lParam) {
            m_dlg->OnCommand(id);
            return TRUE;
        }
        return FALSE;
    }
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX && m_dlg) {
            m_dlg->OnSysCommand(static_cast<unsigned>(wParam));
            return TRUE;
        }
        return FALSE;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(m_hwnd, &ps);
        EndPaint(m_hwnd, &ps);
        if (m_dlg) m_dlg->OnPaint(IsIconic(m_hwnd) != 0);
        return TRUE;
    }
    case WM_TIMER:
        if (wParam == kTimerShowTexts) {
            ShowPendingTexts();
            return TRUE;
        }
        OnFlowTimer(static_cast<unsigned>(wParam));
        return TRUE;
    case WM_CLOSE:
        if (m_dlg) m_dlg->OnClose();
        return TRUE;
    case WM_QUERYENDSESSION:
        SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, OnQueryEndSession(lParam) ? TRUE : FALSE);
        return TRUE;
    case WM_ENDSESSION:
        OnEndSession(wParam != 0);
        SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, 0);
        return TRUE;
    case WM_DROPFILES:
        OnDropFiles(wParam);
        return TRUE;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(Icon(IDR_MAINFRAME, ScaledIcon(m_hwnd, kLargeIcon)));
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->code == TTN_GETDISPINFOW) {
            m_tipText = PortTip();
            reinterpret_cast<NMTTDISPINFOW*>(lParam)->lpszText = m_tipText.data();
            return TRUE;
        }
        return FALSE;
    }
    case kMsgPosted:
        RunPosted();
        return TRUE;
    case kMsgCall:
        (*reinterpret_cast<std::function<void()>*>(lParam))();
        return TRUE;
    case kMsgAfterInit:
        if (afterInit) afterInit(*this);
        return TRUE;
    case WM_DESTROY:
        // The monitor thread ends and the port closes while the window is there.
        ShowPendingTexts();
        m_dlg.reset();
        m_link.reset();
        return FALSE;
    default:
        return FALSE;
    }
}

// Windows is about to shut down, restart or log the user off. While the
// instrument is written the end is held up, with the reason Windows shows
// on its "apps are preventing shutdown" screen, where the operator chooses
// to wait or to end anyway; an end Windows does not wait for (critical)
// goes on, and WM_ENDSESSION stops the upload.
bool LoaderDialog::OnQueryEndSession(LPARAM flags) {
    if (!m_dlg || !m_dlg->CurrentFlow().writing || (flags & ENDSESSION_CRITICAL)) return true;
    const FlowSnapshot flow = m_dlg->CurrentFlow();
    const std::string reason =
        "Writing to the instrument: " + flow.what + " (" + flow.progress + "). Ending now leaves it partial.";
    ShutdownBlockReasonCreate(m_hwnd, W(reason).c_str());
    return false;
}

// The session ends now (or not, after all): the flow under way stops as
// after "Stop it?" - Yes, the port is closed and the monitor thread ends
// before Windows ends the program.
void LoaderDialog::OnEndSession(bool ending) {
    ShutdownBlockReasonDestroy(m_hwnd);
    if (!ending || !m_dlg) return;
    if (m_dlg->CurrentFlow().Running()) m_dlg->StopRunningFlow();
    m_dlg.reset();
    m_link.reset();
}

void LoaderDialog::RunPosted() {
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_posted.empty()) return;
            fn = std::move(m_posted.front());
            m_posted.pop_front();
        }
        fn();
        m_postedRan = true;
    }
}

std::string LoaderDialog::SelectedPortAdvice() const {
    const int sel = GetComboSel(IDC_COM_LIST);
    if (sel < 0) return {};
    const std::string device = m_map.DevicePath(static_cast<unsigned>(sel + 1));
    return device.empty() ? std::string() : DescribePort(device).advice;
}

std::wstring LoaderDialog::PortTip() const {
    const int sel = GetComboSel(IDC_COM_LIST);
    if (sel < 0) return L"";
    const unsigned com = static_cast<unsigned>(sel + 1);
    const std::string device = m_map.DevicePath(com);
    std::string tip = "COM" + std::to_string(com) + ": ";
    if (device.empty()) {
        tip += "no device";
    } else {
        const PortDescription d = DescribePort(device);
        const std::string summary = d.Summary();
        tip += device + (summary.empty() ? std::string() : "  " + summary);
        if (!d.advice.empty()) tip += "\r\n" + d.advice;
    }
    return W(tip);
}

// ---- the preview ------------------------------------------------------------------

LRESULT CALLBACK LoaderDialog::PreviewProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                           DWORD_PTR ref) {
    auto* self = reinterpret_cast<LoaderDialog*>(ref);
    if (msg == WM_PAINT) {
        const LRESULT r = DefSubclassProc(hwnd, msg, wParam, lParam);
        HDC dc = GetDC(hwnd);
        self->PaintPreview(hwnd, dc);
        ReleaseDC(hwnd, dc);
        return r;
    }
    if (msg == WM_PRINTCLIENT) {
        const LRESULT r = DefSubclassProc(hwnd, msg, wParam, lParam);
        self->PaintPreview(hwnd, reinterpret_cast<HDC>(wParam));
        return r;
    }
    return DefSubclassProc(hwnd, msg, wParam, lParam);
}

// One screen pixel per preview pixel, two pixels inside the frame's corner.
void LoaderDialog::PaintPreview(HWND frame, HDC dc) {
    if (!m_dlg) return;
    const std::uint8_t* rgb = m_dlg->PreviewPixels();
    constexpr int kStride = (kPreviewWidth * 3 + 3) & ~3;
    std::vector<std::uint8_t> bgr(static_cast<std::size_t>(kStride) * kPreviewHeight);
    for (int y = 0; y < kPreviewHeight; ++y)
        for (int x = 0; x < kPreviewWidth; ++x) {
            const std::uint8_t* s = rgb + (y * kPreviewWidth + x) * 3;
            std::uint8_t* d = bgr.data() + y * kStride + x * 3;
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
        }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kPreviewWidth;
    info.bmiHeader.biHeight = -kPreviewHeight;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    // 2 pixels inside the frame at 96 dots per inch; at another DPI the
    // picture is scaled as the frame around it is.
    constexpr int kInset = 2;
    const auto scaled = [dpi = static_cast<int>(GetDpiForWindow(frame))](int v) {
        return dpi ? MulDiv(v, dpi, USER_DEFAULT_SCREEN_DPI) : v;
    };
    StretchDIBits(dc, scaled(kInset), scaled(kInset), scaled(kPreviewWidth), scaled(kPreviewHeight), 0, 0,
                  kPreviewWidth, kPreviewHeight, bgr.data(), &info, DIB_RGB_COLORS, SRCCOPY);
}

// ---- icons ------------------------------------------------------------------------

HICON LoaderDialog::Icon(int iconId, int size) {
    static std::map<std::pair<int, int>, HICON> made;
    HICON& icon = made[{iconId, size}];
    if (icon) return icon;
    const std::vector<std::uint32_t> pixels = RenderIcon(iconId, size);
    if (pixels.empty()) return nullptr;
    BITMAPV5HEADER header{};
    header.bV5Size = sizeof header;
    header.bV5Width = size;
    header.bV5Height = -size;  // top-down
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00FF0000;
    header.bV5GreenMask = 0x0000FF00;
    header.bV5BlueMask = 0x000000FF;
    header.bV5AlphaMask = 0xFF000000;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS, &bits,
                                      nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (!colour) return nullptr;
    std::memcpy(bits, pixels.data(), pixels.size() * sizeof(std::uint32_t));
    HBITMAP mask = CreateBitmap(size, size, 1, 1, nullptr);
    ICONINFO info{TRUE, 0, 0, mask, colour};
    icon = CreateIconIndirect(&info);
    DeleteObject(mask);
    DeleteObject(colour);
    return icon;
}

// ---- IHost ---------------------------------------------------------------------------

// The flows set their watch timer again after every acknowledgement: a
// timer already running at that interval is not set again (see TimerBook).
void LoaderDialog::SetTimer(unsigned id, unsigned ms) {
    if (m_timers.Arm(id, ms, GetTickCount64())) ::SetTimer(m_hwnd, id, ms, nullptr);
}

void LoaderDialog::KillTimer(unsigned id) {
    m_timers.Kill(id);
    ::KillTimer(m_hwnd, id);
}

void LoaderDialog::OnFlowTimer(unsigned id) {
    const TimerBook::Tick tick = m_timers.OnSystemTick(id, GetTickCount64());
    if (tick.setMs) ::SetTimer(m_hwnd, id, tick.setMs, nullptr);
    if (tick.deliver && m_onTick) m_onTick(id);
}

void LoaderDialog::SetTimerCallback(std::function<void(unsigned)> onTick) { m_onTick = std::move(onTick); }

void LoaderDialog::Sleep(unsigned ms) {
    ShowPendingTexts();
    ::Sleep(ms);
}

int LoaderDialog::MessageBox(const std::string& text, const std::string& caption) {
    const std::string title = caption.empty() ? AppTitle() : caption;
    if (GetCurrentThreadId() != m_guiThread && m_hwnd) {
        // From the monitor thread: shown on the dialog's thread, and the
        // caller waits until it has been closed.
        int result = IDOK;
        std::function<void()> show = [&] { result = MessageBox(text, caption); };
        SendMessageW(m_hwnd, kMsgCall, 0, reinterpret_cast<LPARAM>(&show));
        return result;
    }
    ShowPendingTexts();
    if (boxSink) {
        boxSink(text, title);
        return IDOK;
    }
    const UINT icon = title == kCaptionAppError ? MB_ICONERROR : 0;
    return MessageBoxW(m_hwnd, W(text).c_str(), W(title).c_str(), MB_OK | icon);
}

bool LoaderDialog::AskYesNo(const std::string& text, const std::string& caption) {
    const std::string title = caption.empty() ? AppTitle() : caption;
    ShowPendingTexts();
    if (boxSink) {
        boxSink(text, title);
        return false;
    }
    return MessageBoxW(m_hwnd, W(text).c_str(), W(title).c_str(), MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) ==
           IDYES;
}

std::optional<std::string> LoaderDialog::OpenFileDialog(const std::string& filter, const std::string& initialDir) {
    ShowPendingTexts();
    if (boxSink) {
        if (fileAnswers.empty()) return std::nullopt;
        std::string answer = fileAnswers.front();
        fileAnswers.pop_front();
        return answer;
    }
    const std::wstring filterText = FilterText(filter);
    wchar_t folder[MAX_PATH] = {};
    GetFullPathNameW(W(initialDir).c_str(), MAX_PATH, folder, nullptr);
    std::vector<wchar_t> file(32768, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = m_hwnd;
    ofn.lpstrFilter = filterText.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(file.size());
    ofn.lpstrInitialDir = folder;
    ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetOpenFileNameW(&ofn)) return std::nullopt;
    return Utf8FromWide(file.data());
}

bool LoaderDialog::SetCurrentDirectory(const std::string& dir) { return SetCurrentDirectoryW(W(dir).c_str()) != 0; }

bool LoaderDialog::StartProgram(const std::string& commandLine, int showCmd) {
    return StartDetached(commandLine, showCmd);
}

bool LoaderDialog::SocketsStartup() {
    if (m_socketsStarted) return true;
    WSADATA data{};
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
    if (data.wVersion != MAKEWORD(1, 1)) {  // any other version counts as failure
        WSACleanup();
        return false;
    }
    m_socketsStarted = true;
    return true;
}

void LoaderDialog::Post(std::function<void()> fn) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_posted.push_back(std::move(fn));
        ++m_postCount;
        wake = m_waitingForPost;
    }
    if (wake) WakeByAddressSingle(PostCounter());
    else if (m_hwnd) PostMessageW(m_hwnd, kMsgPosted, 0, 0);
}

// The dialog pushes all its fields after every block (UpdateData); a
// control that already shows the text is left alone, since setting a
// control's text repaints it even when nothing changed (under wine through
// the X server, which made a pattern upload several times slower). What a
// label, a button or a read-only field shows is kept as it was put there
// rather than read back from the control each time. The
// progress and the strip change with every block: a text set within
// kTextRefreshMs of the last refresh waits for the next one (a timer), so
// the controls are repainted at most that often; the dialog reads back
// what it set at once. Boxes, pauses and the end of the dialog show what
// waits first.
void LoaderDialog::SetItemText(int id, const std::string& text) {
    auto pending = std::find_if(m_pendingTexts.begin(), m_pendingTexts.end(),
                                [id](const auto& p) { return p.first == id; });
    const bool shown = ShownText(id) == text;
    if (pending != m_pendingTexts.end()) {
        if (shown) m_pendingTexts.erase(pending);
        else pending->second = text;
    } else if (!shown) {
        m_pendingTexts.emplace_back(id, text);
    }
    if (m_pendingTexts.empty()) return;
    if (GetTickCount64() - m_textsShownMs >= kTextRefreshMs) {
        ShowPendingTexts();
    } else if (!m_refreshArmed) {
        ::SetTimer(m_hwnd, kTimerShowTexts, static_cast<UINT>(kTextRefreshMs), nullptr);
        m_refreshArmed = true;
    }
}

void LoaderDialog::ShowPendingTexts() {
    if (m_refreshArmed) ::KillTimer(m_hwnd, kTimerShowTexts);
    m_refreshArmed = false;
    m_textsShownMs = GetTickCount64();
    std::vector<std::pair<int, std::string>> texts;
    texts.swap(m_pendingTexts);
    for (const auto& [id, text] : texts) {
        const std::wstring wide = W(text);
        SetWindowTextW(Item(id), wide.c_str());
        if (const auto kept = m_shownTexts.find(id); kept != m_shownTexts.end()) kept->second = text;
        if (id == IDC_PROGRESS_STRIP) FitStrip(wide);
    }
}

std::string LoaderDialog::GetItemText(int id) const {
    for (const auto& [pendingId, text] : m_pendingTexts)
        if (pendingId == id) return text;
    return ShownText(id);
}

// Controls only the program writes are read once; the operator types into
// the others.
std::string LoaderDialog::ShownText(int id) const {
    const auto kept = m_shownTexts.find(id);
    if (kept != m_shownTexts.end()) return kept->second;
    HWND item = Item(id);
    std::string text = GetItemTextOf(item);
    if (OnlyProgramWrites(item)) m_shownTexts.emplace(id, text);
    return text;
}

std::string LoaderDialog::GetItemTextOf(HWND item) {
    if (!item) return {};
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(item)) + 1, L'\0');
    const int n = GetWindowTextW(item, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return Utf8FromWide(text);
}

void LoaderDialog::EnableItem(int id, bool enable) { EnableWindow(Item(id), enable); }

bool LoaderDialog::IsItemEnabled(int id) const {
    HWND item = Item(id);
    return item && IsWindowEnabled(item);
}

void LoaderDialog::SetPortIcon(int iconId) {
    SendDlgItemMessageW(m_hwnd, IDC_PORT_ICON, STM_SETICON,
                        reinterpret_cast<WPARAM>(Icon(iconId, ScaledIcon(m_hwnd, kLargeIcon))), 0);
}

void LoaderDialog::SetComboSel(int id, int index) { SendMessageW(Item(id), CB_SETCURSEL, index, 0); }

int LoaderDialog::GetComboSel(int id) const {
    const LRESULT sel = SendMessageW(Item(id), CB_GETCURSEL, 0, 0);
    return sel == CB_ERR ? -1 : static_cast<int>(sel);
}

void LoaderDialog::RedrawPreview() { InvalidateRect(Item(IDC_PREVIEW), nullptr, FALSE); }

// GetDlgItem asks wine's server for the dialog's children every time; the
// dialog sets its fields after every block. Its controls stay for its life.
HWND LoaderDialog::Item(int id) const {
    const auto known = m_items.find(id);
    if (known != m_items.end()) return known->second;
    HWND item = GetDlgItem(m_hwnd, id);
    if (item) m_items.emplace(id, item);
    return item;
}

void LoaderDialog::ShowAbout() {
    if (boxSink) return;
    const std::vector<std::uint16_t> t = BuildDialogTemplate(AboutBoxTemplate());
    DialogBoxIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<const DLGTEMPLATE*>(t.data()), m_hwnd,
                            AboutProc, 0);
}

// As the dialog manager ends a dialog: hidden at once, destroyed by Run
// once the message being handled is done. The empty message wakes the loop
// when the end came with a message sent from elsewhere (which GetMessage
// handles without returning).
void LoaderDialog::EndDialog() {
    ShowPendingTexts();
    m_result = IDOK;
    m_ended = true;
    ShowWindow(m_hwnd, SW_HIDE);
    PostMessageW(m_hwnd, WM_NULL, 0, 0);
}

} // namespace quillet::win
