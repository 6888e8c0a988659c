#include "platform/VirtualHost.h"

namespace quillet {

void VirtualHost::SetTimer(unsigned id, unsigned ms) {
    m_timers[id] = Timer{ms, m_now + ms, ++m_seq};
}

void VirtualHost::KillTimer(unsigned id) { m_timers.erase(id); }

unsigned VirtualHost::TimerPeriod(unsigned id) const {
    auto it = m_timers.find(id);
    return it == m_timers.end() ? 0 : it->second.period;
}

std::uint64_t VirtualHost::TimerDue(unsigned id) const {
    auto it = m_timers.find(id);
    return it == m_timers.end() ? 0 : it->second.due;
}

void VirtualHost::Sleep(unsigned ms) {
    sleeps.emplace_back(m_now, ms);
    m_now += ms;
}

int VirtualHost::MessageBox(const std::string& text, const std::string& caption) {
    std::lock_guard<std::mutex> lock(m_boxLock);
    boxes.push_back(Box{text, caption.empty() ? AppTitle() : caption, m_now});
    return IDOK;
}

bool VirtualHost::AskYesNo(const std::string& text, const std::string& caption) {
    questions.push_back(Box{text, caption.empty() ? AppTitle() : caption, m_now});
    if (yesNoAnswers.empty()) return false;
    const bool yes = yesNoAnswers.front();
    yesNoAnswers.pop_front();
    return yes;
}

std::optional<std::string> VirtualHost::OpenFileDialog(const std::string& filter,
                                                       const std::string& initialDir) {
    fileFilters.push_back(filter);
    fileDirs.push_back(initialDir);
    if (fileAnswers.empty()) return std::nullopt;
    auto answer = fileAnswers.front();
    fileAnswers.pop_front();
    return answer;
}

bool VirtualHost::SetCurrentDirectory(const std::string& dir) {
    directories.push_back(dir);
    return true;
}

bool VirtualHost::StartProgram(const std::string& commandLine, int) {
    startedPrograms.push_back(commandLine);
    return startProgramResult;
}

void VirtualHost::Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(m_postLock);
    m_posted.push_back(std::move(fn));
}

void VirtualHost::RunPosted() {
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(m_postLock);
            if (m_posted.empty()) return;
            fn = std::move(m_posted.front());
            m_posted.pop_front();
        }
        fn();
    }
}

void VirtualHost::Advance(std::uint64_t ms) {
    const std::uint64_t target = m_now + ms;
    RunPosted();
    for (;;) {
        // The earliest tick due by the target time; a tick that fell due
        // while a handler slept is delivered late, at the current time.
        auto next = m_timers.end();
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
            if (it->second.due > target) continue;
            if (next == m_timers.end() || it->second.due < next->second.due ||
                (it->second.due == next->second.due && it->second.seq < next->second.seq))
                next = it;
        }
        if (next == m_timers.end()) break;
        const unsigned id = next->first;
        if (next->second.due > m_now) m_now = next->second.due;
        next->second.due = m_now + next->second.period;
        next->second.seq = ++m_seq;
        ticks.push_back(Tick{id, m_now});
        if (m_onTick) m_onTick(id);
        RunPosted();
    }
    if (m_now < target) m_now = target;
}

std::string VirtualHost::GetItemText(int id) const {
    auto it = texts.find(id);
    return it == texts.end() ? std::string() : it->second;
}

bool VirtualHost::IsItemEnabled(int id) const {
    auto it = enabled.find(id);
    return it == enabled.end() ? false : it->second;
}

int VirtualHost::GetComboSel(int id) const {
    auto it = comboSel.find(id);
    return it == comboSel.end() ? -1 : it->second;
}

} // namespace quillet
