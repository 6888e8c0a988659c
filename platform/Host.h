// The platform layer: everything the dialog asks of the windowing system.
//
// CLoaderDlg never talks to a toolkit. It talks to one IHost, which stands
// for the dialog window and its surroundings: window timers by id, blocking
// pauses, modal message boxes, the file-open dialog, the current
// directory, starting an outside program, the controls of the dialog, and a
// way for other threads to get work done on the GUI thread.
//
// Hosts: the Qt dialog (gui/), the plain event loop of the command line
// (platform/EventLoopHost), and the virtual-clock host of the tests
// (platform/VirtualHost), on which time only moves when the test says so.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quillet {

// Message box result and ShowWindow code under the names and values the
// Windows headers give them; where <windows.h> came first, its macros.
#ifndef IDOK
constexpr int IDOK = 1;  // message box result
#endif
#ifndef SW_SHOW
constexpr int SW_SHOW = 5;  // used when starting the outside sub-MCU tool
#endif
static_assert(IDOK == 1 && SW_SHOW == 5, "IDOK and SW_SHOW as Windows defines them");

class IHost {
public:
    virtual ~IHost() = default;

    // ---- window timers --------------------------------------------------
    // Arms timer `id` with period `ms`; arming a running id restarts it with
    // the new period. Ticks are delivered on the GUI thread through the
    // callback set with SetTimerCallback and never interrupt a handler.
    virtual void SetTimer(unsigned id, unsigned ms) = 0;
    virtual void KillTimer(unsigned id) = 0;
    virtual void SetTimerCallback(std::function<void(unsigned id)> onTick) = 0;
    // Milliseconds on a clock that only moves forward (the virtual clock in
    // the tests); what the dialog measures rates and times left with.
    virtual std::uint64_t ClockMs() const {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    }

    // ---- blocking pause on the GUI thread --------------------------------
    // Nothing else runs on the GUI thread meanwhile: no tick, no received byte.
    virtual void Sleep(unsigned ms) = 0;

    // ---- modal boxes and dialogs ------------------------------------------
    // An empty caption means the program's own title (AppTitle()).
    // May be called from any thread (the serial link reports errors from its
    // monitor thread); returns when the operator has closed the box.
    virtual int MessageBox(const std::string& text, const std::string& caption) = 0;
    // A modal question with Yes and No buttons (No the default, so that
    // Enter or Escape on the box changes nothing). True for Yes. Called on
    // the GUI thread only; an empty caption means AppTitle().
    virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
    // Shows a file-open dialog with a filter such as
    // "bmp file(*.bmp)|*.bmp|all file(*.*)|*.*||". Returns the full path of
    // the chosen file, or nothing when the operator cancels.
    virtual std::optional<std::string> OpenFileDialog(const std::string& filter,
                                                      const std::string& initialDir) = 0;

    // ---- process ------------------------------------------------------------
    // The dialog's current directory: where the flows' relative paths (the
    // sub-MCU tool) start. A host that serves one dialog may change the
    // process's; one of several dialogs in a process keeps its own.
    virtual bool SetCurrentDirectory(const std::string& dir) = 0;
    // That directory; "." for the process's own.
    virtual std::string CurrentDirectory() const { return "."; }
    // Starts an outside program (command line relative to the current
    // directory); false when it could not be started.
    virtual bool StartProgram(const std::string& commandLine, int showCmd) = 0;
    // The sockets start-up step done once at program start. A no-op that
    // succeeds on POSIX.
    virtual bool SocketsStartup() = 0;

    // ---- GUI thread ---------------------------------------------------------
    // Queues `fn` to run on the GUI thread and returns at once. Safe from
    // any thread. The serial link builds its synchronous delivery on this.
    virtual void Post(std::function<void()> fn) = 0;

    // ---- controls of the dialog ---------------------------------------------
    virtual void SetItemText(int id, const std::string& text) = 0;
    virtual std::string GetItemText(int id) const = 0;
    virtual void EnableItem(int id, bool enable) = 0;
    virtual bool IsItemEnabled(int id) const = 0;
    // STM_SETICON on the port icon static (1007): icon 133 closed, 134 open.
    virtual void SetPortIcon(int iconId) = 0;
    virtual void SetComboSel(int id, int index) = 0;
    // -1 when the combo has no selection.
    virtual int GetComboSel(int id) const = 0;
    // The preview (frame 1186) must be drawn again from the dialog's image.
    virtual void RedrawPreview() = 0;
    // The about box (template 100), modal.
    virtual void ShowAbout() = 0;
    // Ends the modal dialog (default processing of WM_CLOSE).
    virtual void EndDialog() = 0;

    static const char* AppTitle() { return "Quillet"; }
};

} // namespace quillet
