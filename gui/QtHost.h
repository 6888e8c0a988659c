// QtHost: the platform layer on Qt. Window timers are QTimers ticking on the
// GUI thread, posted work is a queued call on the dialog window, boxes and
// the file dialog are Qt's, and the controls are the window's widgets,
// looked up by control id.
#pragma once

#include <QObject>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/Host.h"

class QTimer;

namespace quillet::gui {

class LoaderWindow;

class QtHost : public IHost {
public:
    explicit QtHost(LoaderWindow& window);
    ~QtHost() override;
    QtHost(const QtHost&) = delete;
    QtHost& operator=(const QtHost&) = delete;

    // ---- hooks for tests and batch runs -----------------------------------
    // When set, these answer instead of the modal boxes and dialogs (always
    // called on the GUI thread).
    std::function<int(const std::string& text, const std::string& caption)> messageBoxHook;
    std::function<bool(const std::string& text, const std::string& caption)> yesNoHook;
    std::function<std::optional<std::string>(const std::string& filter, const std::string& dir)>
        fileDialogHook;
    std::function<void()> aboutHook;

    int PortIcon() const { return m_portIcon; }
    bool IsTimerActive(unsigned id) const;

    // ---- IHost --------------------------------------------------------------
    void SetTimer(unsigned id, unsigned ms) override;
    void KillTimer(unsigned id) override;
    void SetTimerCallback(std::function<void(unsigned)> onTick) override;
    void Sleep(unsigned ms) override;
    int MessageBox(const std::string& text, const std::string& caption) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    std::optional<std::string> OpenFileDialog(const std::string& filter,
                                              const std::string& initialDir) override;
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

private:
    int ShowMessageBox(const std::string& text, const std::string& caption);

    LoaderWindow& m_window;
    std::map<unsigned, QTimer*> m_timers;
    std::function<void(unsigned)> m_onTick;
    int m_portIcon = 0;
    bool m_socketsStarted = false;
};

} // namespace quillet::gui
