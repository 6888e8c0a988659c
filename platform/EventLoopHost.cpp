#include "platform/EventLoopHost.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/Utf8.h"
#ifdef _WIN32
#include "platform/WindowsHeaders.h"
#endif

namespace quillet {

EventLoopHost::EventLoopHost() {
    std::error_code ec;
    m_currentDir = std::filesystem::current_path(ec);
    if (ec) m_currentDir = ".";
    onMessageBox = [](const Box& box) {
        std::fprintf(stderr, "%s: %s\n", box.caption.c_str(), box.text.c_str());
    };
}

std::uint64_t EventLoopHost::NowMs() const {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count());
}

void EventLoopHost::SetTimer(unsigned id, unsigned ms) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_timers[id] = Timer{ms, Clock::now() + std::chrono::milliseconds(ms)};
    m_wake.notify_all();
}

void EventLoopHost::KillTimer(unsigned id) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_timers.erase(id);
}

void EventLoopHost::SetTimerCallback(std::function<void(unsigned)> onTick) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_onTick = std::move(onTick);
}

void EventLoopHost::Sleep(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int EventLoopHost::MessageBox(const std::string& text, const std::string& caption) {
    Box box{text, caption.empty() ? AppTitle() : caption};
    std::function<void(const Box&)> sink;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_boxes.push_back(box);
        sink = onMessageBox;
    }
    if (sink) sink(box);
    return IDOK;
}

bool EventLoopHost::AskYesNo(const std::string& text, const std::string& caption) {
    MessageBox(text, caption);
    return false;
}

std::vector<EventLoopHost::Box> EventLoopHost::Boxes() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_boxes;
}

void EventLoopHost::QueueFileAnswer(std::optional<std::string> path) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_fileAnswers.push_back(std::move(path));
}

std::optional<std::string> EventLoopHost::OpenFileDialog(const std::string&, const std::string&) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_fileAnswers.empty()) return std::nullopt;
    auto answer = m_fileAnswers.front();
    m_fileAnswers.pop_front();
    return answer;
}

// The process's current directory is left alone: it is shared by every
// dialog of the process.
bool EventLoopHost::SetCurrentDirectory(const std::string& dir) {
    std::lock_guard<std::mutex> lock(m_lock);
    std::filesystem::path p = PathFromUtf8(dir);
    if (p.is_relative()) p = m_currentDir / p;
    std::error_code ec;
    if (!std::filesystem::is_directory(p, ec)) return false;
    p = p.lexically_normal();
    if (!p.has_filename() && p != p.root_path()) p = p.parent_path();  // "dir/./" is "dir"
    m_currentDir = p;
    return true;
}

std::string EventLoopHost::CurrentDirectory() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return Utf8FromPath(m_currentDir);
}

bool EventLoopHost::StartProgram(const std::string& commandLine, [[maybe_unused]] int showCmd) {
    const std::string dir = CurrentDirectory();
#ifdef _WIN32
    // As WinExec: not waited for; started in the dialog's directory.
    std::wstring line = WideFromUtf8(commandLine);
    const std::wstring wdir = WideFromUtf8(dir);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = static_cast<WORD>(showCmd);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, wdir.c_str(), &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
#else
    // Started in the background, like WinExec: the caller does not wait.
    // The shell changes to the dialog's directory first; the program's own
    // stays where it is.
    std::string quoted = "'";
    for (char c : dir) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    return std::system(("cd " + quoted + " && " + commandLine + " >/dev/null 2>&1 &").c_str()) == 0;
#endif
}

void EventLoopHost::Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_posted.push_back(std::move(fn));
    m_wake.notify_all();
}

void EventLoopHost::Quit() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_quit = true;
    m_wake.notify_all();
}

bool EventLoopHost::RunUntil(const std::function<bool()>& done, std::optional<unsigned> timeoutMs) {
    const auto deadline = timeoutMs ? Clock::now() + std::chrono::milliseconds(*timeoutMs)
                                    : Clock::time_point::max();
    std::unique_lock<std::mutex> lock(m_lock);
    m_quit = false;
    for (;;) {
        if (m_quit) return true;
        lock.unlock();
        const bool finished = done && done();
        lock.lock();
        if (finished) return true;
        if (!m_posted.empty()) {
            auto fn = std::move(m_posted.front());
            m_posted.pop_front();
            lock.unlock();
            fn();
            lock.lock();
            continue;
        }
        // The earliest timer that is due fires; its next tick counts from now.
        const auto now = Clock::now();
        auto next = m_timers.end();
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it)
            if (next == m_timers.end() || it->second.due < next->second.due) next = it;
        if (next != m_timers.end() && next->second.due <= now) {
            const unsigned id = next->first;
            next->second.due = now + std::chrono::milliseconds(next->second.period);
            auto tick = m_onTick;
            lock.unlock();
            if (tick) tick(id);
            lock.lock();
            continue;
        }
        if (now >= deadline) return false;
        auto wakeAt = deadline;
        if (next != m_timers.end() && next->second.due < wakeAt) wakeAt = next->second.due;
        if (wakeAt == Clock::time_point::max())
            m_wake.wait(lock);
        else
            m_wake.wait_until(lock, wakeAt);
    }
}

void EventLoopHost::SetItemText(int id, const std::string& text) {
    std::function<void(int, const std::string&)> cb;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_texts[id] = text;
        cb = onItemText;
    }
    if (cb) cb(id, text);
}

std::string EventLoopHost::GetItemText(int id) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_texts.find(id);
    return it == m_texts.end() ? std::string() : it->second;
}

void EventLoopHost::EnableItem(int id, bool enable) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_enabled[id] = enable;
}

bool EventLoopHost::IsItemEnabled(int id) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_enabled.find(id);
    return it != m_enabled.end() && it->second;
}

void EventLoopHost::SetComboSel(int id, int index) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_combo[id] = index;
}

int EventLoopHost::GetComboSel(int id) const {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_combo.find(id);
    return it == m_combo.end() ? -1 : it->second;
}

} // namespace quillet
