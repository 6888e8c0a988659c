// LoaderDialog: the main dialog on Windows. The dialog manager builds
// template 102 from the program's tables; this class is its dialog
// procedure and the Win32 host of the platform layer (IHost): window timers
// (SetTimer/WM_TIMER), Sleep, MessageBox, GetOpenFileName, the current
// directory, CreateProcess, Windows Sockets, work posted from other threads
// (run on the dialog's thread through a window message) and the controls.
// It routes the window's messages to CLoaderDlg: buttons and list
// selections to OnCommand, WM_PAINT to OnPaint, WM_CLOSE and Escape
// (IDCANCEL) to OnClose (which asks first while an upload runs), the end
// of the Windows session to a clean stop of the upload (see
// OnQueryEndSession), the
// about item of the system menu to OnSysCommand, WM_TIMER to the timer
// callback.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dialog/DialogTrace.h"
#include "dialog/LoaderDlg.h"
#include "platform/Host.h"
#include "platform/WindowsHeaders.h"
#include "serial/PortMap.h"
#include "serial/SerialLink.h"
#include "win/TimerBook.h"

namespace quillet::win {

class LoaderDialog : public IHost {
public:
    // `map`: the COM ports (the system's unless given); `makeDevice`: the
    // device behind the serial link (the demo's in-process generator), the
    // system's serial ports when empty.
    explicit LoaderDialog(PortMap map = {}, CSerialLink::DeviceFactory makeDevice = {});
    ~LoaderDialog() override;
    LoaderDialog(const LoaderDialog&) = delete;
    LoaderDialog& operator=(const LoaderDialog&) = delete;

    // Shows the dialog and handles its messages until it has ended (as a
    // modal dialog, with a loop of its own); returns IDOK once it ended
    // through EndDialog, -1 when it could not be created.
    INT_PTR Run();
    // The operator's choices are remembered in `settings` (the program's
    // interactive run hands it RegistrySettings); call before Run. Without
    // it nothing is remembered.
    void RememberChoices(std::unique_ptr<ISettings> settings) { m_settings = std::move(settings); }

    // ---- batch runs (--screenshot) ------------------------------------------
    // When set: message boxes and Yes/No questions are written here instead
    // of shown (a question is answered No), and file dialogs are answered
    // from `fileAnswers`.
    std::function<void(const std::string& text, const std::string& caption)> boxSink;
    std::deque<std::string> fileAnswers;
    // Runs once the dialog has initialised and shown itself; it may end it.
    std::function<void(LoaderDialog&)> afterInit;
    // When set (quillet -v, --log FILE): the serial link is tapped into it
    // and the flows tell it their steps. It must outlive the dialog.
    DialogTrace* trace = nullptr;

    HWND Window() const { return m_hwnd; }
    // Puts the texts set since the controls were last refreshed into them
    // (texts that change faster reach the screen at most 20 times a second).
    void ShowPendingTexts();
    CLoaderDlg* Dialog() { return m_dlg.get(); }

    // ---- IHost ----------------------------------------------------------------
    void SetTimer(unsigned id, unsigned ms) override;
    void KillTimer(unsigned id) override;
    void SetTimerCallback(std::function<void(unsigned)> onTick) override;
    void Sleep(unsigned ms) override;
    int MessageBox(const std::string& text, const std::string& caption) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    std::optional<std::string> OpenFileDialog(const std::string& filter, const std::string& initialDir) override;
    bool SetCurrentDirectory(const std::string& dir) override;
    bool StartProgram(const std::string& commandLine, int showCmd) override;
    bool SocketsStartup() override;
    void Post(std::function<void()> fn) override;
    void SetItemText(int id, const std::string& text) override;
    std::string GetItemText(int id) const override;
    void EnableItem(int id, bool enable) override;
    bool IsItemEnabled(int id) const override;
    void SetPortIcon(int iconId) override;
    void SetComboSel(int id, int index) override;
    int GetComboSel(int id) const override;
    void RedrawPreview() override;
    void ShowAbout() override;
    void EndDialog() override;

    // The icons, made from the program's drawings.
    static HICON Icon(int iconId, int size);

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK PreviewProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR ref);
    INT_PTR Handle(UINT msg, WPARAM wParam, LPARAM lParam);
    void RunMessageLoop();
    void Show();
    bool PumpMessages();
    void RunPostedWhileComing();
    bool WaitForPosted();
    // The counter's word, as WaitOnAddress and WakeByAddressSingle take it.
    void* PostCounter() { return reinterpret_cast<void*>(&m_postCount); }
    // False when it gave a control the focus itself.
    bool OnInit();
    void AddControls();
    void FitCommLabel();
    // The window's client area `height` pixels high, its width kept.
    void SetClientHeight(int height);
    // The strip grows (and the window with it) to show every line of its
    // text, and shrinks back to one.
    void FitStrip(const std::wstring& text);
    // The advice for the port the COM list shows (the one a flow runs on).
    std::string SelectedPortAdvice() const;
    void OnDropFiles(WPARAM dropHandle);
    static std::string GetItemTextOf(HWND item);
    // The text control `id` shows now (see SetItemText).
    std::string ShownText(int id) const;
    // The control `id` of the dialog (null when there is none).
    HWND Item(int id) const;
    void RunPosted();
    // A window timer of the flows has fired.
    void OnFlowTimer(unsigned id);
    bool OnQueryEndSession(LPARAM flags);
    void OnEndSession(bool ending);
    void PaintPreview(HWND frame, HDC dc);
    std::wstring PortTip() const;

    PortMap m_map;
    CSerialLink::DeviceFactory m_makeDevice;
    HWND m_hwnd = nullptr;
    HWND m_tooltip = nullptr;
    std::wstring m_tipText;
    std::unique_ptr<ISettings> m_settings;
    std::unique_ptr<ISerialPort> m_link;  // destroyed after the dialog
    std::unique_ptr<CLoaderDlg> m_dlg;
    std::function<void(unsigned)> m_onTick;
    TimerBook m_timers;  // the flows' timers (SetTimer, KillTimer)
    std::mutex m_lock;
    std::deque<std::function<void()>> m_posted;
    // Counts posts, for the loop to wait on (WaitOnAddress); whether it
    // waits there now (both under m_lock); whether posted work ran since
    // the loop last looked.
    std::atomic<std::uint32_t> m_postCount{0};
    bool m_waitingForPost = false;
    bool m_postedRan = false;
    bool m_shown = false;  // the window has been shown
    DWORD m_guiThread = 0;
    bool m_socketsStarted = false;
    bool m_ended = false;  // EndDialog was called
    INT_PTR m_result = 0;
    // Texts set but not yet shown, in the order they were first set; when
    // they were last shown; whether the refresh timer runs.
    std::vector<std::pair<int, std::string>> m_pendingTexts;
    ULONGLONG m_textsShownMs = 0;
    bool m_refreshArmed = false;
    mutable std::map<int, HWND> m_items;  // controls by id, as found
    // The texts of the controls only the program writes, as last put there.
    mutable std::map<int, std::string> m_shownTexts;
};

} // namespace quillet::win
