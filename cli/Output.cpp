#include "cli/Output.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "cli/Progress.h"
#include "cli/Report.h"
#include "platform/Utf8.h"
#include "platform/Version.h"

#ifdef _WIN32
#include <io.h>

#include "platform/WindowsHeaders.h"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace quillet::cli {

namespace {

constexpr int kStdinFd = 0;
constexpr int kStdoutFd = 1;
constexpr int kStderrFd = 2;

// True when the descriptor `fd` was closed when the program started; it
// then gets the null device.
bool TakeClosed(int fd) {
#ifdef _WIN32
    (void)fd;
    return false;
#else
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) return false;
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
        dup2(null, fd);
        close(null);
    }
    return true;
#endif
}

std::string Quoted(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_of(" \t'\"\\$`;&|<>()*?[]{}!#~") == std::string::npos;
    if (plain) return EscapeControls(word);
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return EscapeControls(out + "'");
}

#ifdef _WIN32
// The C library hands text for an unbuffered stream (stderr) to a console
// in small pieces, under wine one character a call, each a round trip to
// the console and a redraw of the terminal behind it: a progress bar drawn
// ten times a second then costs the flow most of its time. Text for a
// console goes to it in one call. False when `f` is no console.
bool WriteToConsole(std::FILE* f, const std::string& text) {
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return false;
    std::fflush(f);
    const std::wstring wide = WideFromUtf8(text);
    DWORD written = 0;
    return WriteConsoleW(h, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) != 0;
}
#endif

} // namespace

bool WriteOut(std::FILE* f, const std::string& text) {
    if (!f || std::ferror(f)) return false;
#ifdef _WIN32
    if (WriteToConsole(f, text)) return true;
#endif
    std::fwrite(text.data(), 1, text.size(), f);
    std::fflush(f);
    return !std::ferror(f);
}

std::string CommandLineText(const std::string& program, const std::vector<std::string>& args) {
    std::string line = program;
    for (const auto& a : args) line += " " + Quoted(a);
    return line;
}

RunOutput::RunOutput() {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    TakeClosed(kStdinFd);
    m_stdoutClosed = TakeClosed(kStdoutFd);
    m_stderrClosed = TakeClosed(kStderrFd);
}

RunOutput::~RunOutput() { NoteFailures(); }

std::string RunOutput::OpenLog(const std::string& path, const std::string& commandLine) {
    m_log.reset(OpenFileUtf8(path, "a"));
    if (!m_log) return "cannot write the log " + path + ": " + std::strerror(errno);
    m_logPath = path;
    const std::string header = "# " + UtcTimeText() + "  quillet-cli " + VersionText() + "  " + commandLine + "\n";
    if (!WriteOut(m_log.get(), header)) m_logError = errno;
    return {};
}

void RunOutput::NoteFailures() {
    const bool stdoutFailed = m_stdoutClosed || std::ferror(stdout);
    const bool stderrFailed = m_stderrClosed || std::ferror(stderr);
    std::FILE* log = m_log.get();
    if (log) std::fflush(log);
    const bool logFailed = log && std::ferror(log);
    if (log && logFailed && m_logError == 0) m_logError = errno;
    // What can be written still: stderr first, the log when stderr cannot.
    auto note = [&](const std::string& text) {
        if (!stderrFailed) {
            WriteOut(stderr, m_json ? MessageEvent("error", text) : "quillet-cli: " + text + "\n");
        } else if (log && !logFailed) {
            WriteOut(log, "# " + text + "\n");
        }
    };
    if (stdoutFailed)
        note(std::string("standard output ") +
             (m_stdoutClosed ? "was closed" : "could not be written (its reader went away, or it is full)") +
             "; nothing more was written there, the flows ran to their end");
    if (stderrFailed && log && !logFailed)
        WriteOut(log, std::string("# standard error ") +
                          (m_stderrClosed ? "was closed" : "could not be written") +
                          "; nothing more was written there\n");
    if (logFailed)
        note("the log " + m_logPath + " could not be written" +
             (m_logError ? std::string(": ") + std::strerror(m_logError) : std::string()) +
             "; the trace in it is incomplete");
}

} // namespace quillet::cli
