// How quillet-cli writes to stdout, stderr and its log so that its output
// never stops a flow. A reader that went away (`| head`), a closed stream
// or a full device makes the write fail instead of ending the program; the
// stream that failed is written no more, the failure is noted once at the
// end where the program can still write, and the exit code stays the
// flows'.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/TimeText.h"

namespace quillet::cli {

// Writes `text` to `f` and flushes it, unless a write there has failed
// before (the stream's error indicator stays set once one has): false when
// it was not written.
bool WriteOut(std::FILE* f, const std::string& text);

using quillet::UtcTimeText;  // platform/TimeText.h

// The command line as it can be typed again: words with blanks, quotes or
// nothing in them in single quotes, control characters escaped.
std::string CommandLineText(const std::string& program, const std::vector<std::string>& args);

// The output of one run of the program. Made first thing: a closed pipe
// becomes a write error (SIGPIPE is ignored), and a closed standard stream
// gets the null device so that no port or file opened later takes its
// place. Its end notes once what could not be written: stdout on stderr,
// stderr in the log, the log on stderr.
class RunOutput {
public:
    RunOutput();
    ~RunOutput();
    RunOutput(const RunOutput&) = delete;
    RunOutput& operator=(const RunOutput&) = delete;

    // With --json the notes on stderr are JSON message objects.
    void SetJson(bool json) { m_json = json; }
    // Opens `path` to append the trace to, after a header line (the time in
    // UTC, the program's version, the command line). Empty, or why it
    // cannot be opened.
    std::string OpenLog(const std::string& path, const std::string& commandLine);
    std::FILE* Log() const { return m_log.get(); }

private:
    void NoteFailures();

    bool m_json = false;
    bool m_stdoutClosed = false;  // at the start
    bool m_stderrClosed = false;
    std::string m_logPath;
    int m_logError = 0;           // errno of the log's first failed write
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> m_log{nullptr, &std::fclose};
};

} // namespace quillet::cli
