// A plain event loop host for programs without a window (the command line,
// the simulator-driven tests and benchmarks). The thread that calls Run() is
// the GUI thread: posted work and timer ticks run there, one at a time.
// Message boxes go to a sink (stderr by default) and are recorded (Yes/No
// questions too, answered No); file
// dialogs are answered from a queue the caller fills. The current directory
// is the host's own (the process's when the host was made): several hosts,
// each with its dialog on a thread of its own, share nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Host.h"

namespace quillet {

class EventLoopHost : public IHost {
public:
    struct Box {
        std::string text;
        std::string caption;
    };

    EventLoopHost();

    // Runs posted work and timer ticks until Quit() or until `done` returns
    // true (checked after every piece of work) or `timeoutMs` has passed.
    // Returns true unless it stopped on the time-out.
    bool RunUntil(const std::function<bool()>& done, std::optional<unsigned> timeoutMs = {});
    void Quit();
    // Milliseconds since the host was made.
    std::uint64_t NowMs() const;

    // Called for every message box (after it is recorded); the default
    // writes "CAPTION: text" to stderr.
    std::function<void(const Box&)> onMessageBox;
    // Called on the GUI thread whenever a control's text changes.
    std::function<void(int id, const std::string& text)> onItemText;
    std::vector<Box> Boxes() const;
    void QueueFileAnswer(std::optional<std::string> path);

    // IHost
    void SetTimer(unsigned id, unsigned ms) override;
    void KillTimer(unsigned id) override;
    void SetTimerCallback(std::function<void(unsigned)> onTick) override;
    void Sleep(unsigned ms) override;
    int MessageBox(const std::string& text, const std::string& caption) override;
    // The command line never closes its dialog nor presses a button while
    // the instrument is written, and no one is there to answer: a question
    // is recorded and reported like a box and answered No, so whatever is
    // being written goes on to its end.
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    std::optional<std::string> OpenFileDialog(const std::string& filter,
                                              const std::string& initialDir) override;
    bool SetCurrentDirectory(const std::string& dir) override;
    std::string CurrentDirectory() const override;
    bool StartProgram(const std::string& commandLine, int showCmd) override;
    bool SocketsStartup() override { return true; }
    void Post(std::function<void()> fn) override;
    void SetItemText(int id, const std::string& text) override;
    std::string GetItemText(int id) const override;
    void EnableItem(int id, bool enable) override;
    bool IsItemEnabled(int id) const override;
    void SetPortIcon(int iconId) override { m_portIcon = iconId; }
    int PortIcon() const { return m_portIcon; }
    void SetComboSel(int id, int index) override;
    int GetComboSel(int id) const override;
    void RedrawPreview() override {}
    void ShowAbout() override {}
    void EndDialog() override { Quit(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        unsigned period;
        Clock::time_point due;
    };
    const Clock::time_point m_start = Clock::now();
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_posted;
    std::map<unsigned, Timer> m_timers;
    std::function<void(unsigned)> m_onTick;
    bool m_quit = false;
    std::vector<Box> m_boxes;
    std::deque<std::optional<std::string>> m_fileAnswers;
    std::map<int, std::string> m_texts;
    std::map<int, bool> m_enabled;
    std::map<int, int> m_combo;
    int m_portIcon = 0;
    std::filesystem::path m_currentDir;
};

} // namespace quillet
