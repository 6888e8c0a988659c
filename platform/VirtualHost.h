// A host on a virtual clock, for tests of timed flows. Time moves only when
// the test calls Advance(); sleeps move it at once; message boxes, file
// dialogs, Yes/No questions and started programs are recorded and answered from the test's
// script. Ticks are delivered in time order and never inside a handler.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Host.h"

namespace quillet {

class VirtualHost : public IHost {
public:
    struct Box {
        std::string text;
        std::string caption;
        std::uint64_t at;
    };
    struct Tick {
        unsigned id;
        std::uint64_t at;
    };

    // ---- the clock ----------------------------------------------------------
    std::uint64_t Now() const { return m_now; }
    std::uint64_t ClockMs() const override { return m_now; }
    // Moves the clock on by `ms`, delivering every tick that falls due, in
    // order. Posted work is run first and after every tick.
    void Advance(std::uint64_t ms);
    // Runs posted work until none is left.
    void RunPosted();
    bool IsTimerArmed(unsigned id) const { return m_timers.count(id) != 0; }
    // Period of an armed timer, 0 when not armed.
    unsigned TimerPeriod(unsigned id) const;
    // Absolute time of the next tick of an armed timer.
    std::uint64_t TimerDue(unsigned id) const;

    // ---- what happened --------------------------------------------------------
    std::vector<Box> boxes;
    std::vector<Box> questions;  // every Yes/No question, in order
    std::vector<std::pair<std::uint64_t, unsigned>> sleeps;  // (at, ms)
    std::vector<Tick> ticks;
    std::vector<std::string> startedPrograms;
    std::vector<std::string> directories;
    std::map<int, std::string> texts;
    std::map<int, bool> enabled;
    std::map<int, int> comboSel;
    int portIcon = 0;
    int previewRedraws = 0;
    int aboutShown = 0;
    bool ended = false;

    // ---- the test's answers ---------------------------------------------------
    std::deque<std::optional<std::string>> fileAnswers;  // next OpenFileDialog results; empty = cancel
    std::vector<std::string> fileFilters;                // filters the dialogs were shown with
    std::vector<std::string> fileDirs;                   // ... and the folders they opened in
    std::deque<bool> yesNoAnswers;                       // next AskYesNo results; empty = No
    bool startProgramResult = true;
    bool socketsResult = true;

    // ---- IHost -----------------------------------------------------------------
    void SetTimer(unsigned id, unsigned ms) override;
    void KillTimer(unsigned id) override;
    void SetTimerCallback(std::function<void(unsigned)> onTick) override { m_onTick = std::move(onTick); }
    void Sleep(unsigned ms) override;
    int MessageBox(const std::string& text, const std::string& caption) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    std::optional<std::string> OpenFileDialog(const std::string& filter,
                                              const std::string& initialDir) override;
    bool SetCurrentDirectory(const std::string& dir) override;
    bool StartProgram(const std::string& commandLine, int showCmd) override;
    bool SocketsStartup() override { return socketsResult; }
    void Post(std::function<void()> fn) override;
    void SetItemText(int id, const std::string& text) override { texts[id] = text; }
    std::string GetItemText(int id) const override;
    void EnableItem(int id, bool enable) override { enabled[id] = enable; }
    bool IsItemEnabled(int id) const override;
    void SetPortIcon(int iconId) override { portIcon = iconId; }
    void SetComboSel(int id, int index) override { comboSel[id] = index; }
    int GetComboSel(int id) const override;
    void RedrawPreview() override { ++previewRedraws; }
    void ShowAbout() override { ++aboutShown; }
    void EndDialog() override { ended = true; }

private:
    struct Timer {
        unsigned period;
        std::uint64_t due;
        std::uint64_t seq;  // arm order breaks ties between equal due times
    };
    std::uint64_t m_now = 0;
    std::uint64_t m_seq = 0;
    std::map<unsigned, Timer> m_timers;
    std::function<void(unsigned)> m_onTick;
    mutable std::mutex m_postLock;
    std::deque<std::function<void()>> m_posted;
    std::mutex m_boxLock;
};

} // namespace quillet
