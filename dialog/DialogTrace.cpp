#include "dialog/DialogTrace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "dialog/LoaderDlg.h"
#include "platform/TimeText.h"
#include "platform/Utf8.h"
#include "serial/TrafficPort.h"

namespace quillet {

bool DialogTrace::Start(int verbosity, const std::string& logFile, const std::string& header, std::string& error) {
    if (!logFile.empty()) {
        m_log.reset(OpenFileUtf8(logFile, "a"));
        const std::string line = "# " + UtcTimeText() + "  " + header + "\n";
        if (!m_log || std::fputs(line.c_str(), m_log.get()) < 0 || std::fflush(m_log.get()) != 0) {
            error = "cannot write the log " + logFile + ": " + std::strerror(errno);
            return false;
        }
        verbosity = std::max(1, verbosity);
    }
    if (verbosity <= 0) return true;
    m_start = std::chrono::steady_clock::now();
    m_trace = std::make_unique<TrafficTrace>(m_log ? m_log.get() : stderr, verbosity, [this] {
        const auto since = std::chrono::steady_clock::now() - m_start;
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
    });
    return true;
}

std::unique_ptr<ISerialPort> DialogTrace::Tap(std::unique_ptr<ISerialPort> link, PortMap map) {
    if (!m_trace) return link;
    auto port = std::make_unique<TrafficPort>(std::move(link), std::move(map));
    port->SetTrace(m_trace.get());
    return port;
}

void DialogTrace::Follow(CLoaderDlg& dlg) {
    if (!m_trace) return;
    dlg.SetEventSink([trace = m_trace.get()](const FlowEventInfo& e) { trace->Event(e); });
}

} // namespace quillet
