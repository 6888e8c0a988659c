// The dialogs' trace (quillet -v, -vv, -vvv and --log FILE): the port the
// dialog is given taps the serial link, and the flows tell their steps,
// with time stamps in seconds since the program started. Without --log it
// goes to stderr; a log holds at least the steps.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "engine/TrafficTrace.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"

namespace quillet {

class CLoaderDlg;

class DialogTrace {
public:
    DialogTrace() = default;
    DialogTrace(const DialogTrace&) = delete;
    DialogTrace& operator=(const DialogTrace&) = delete;

    // Starts a trace of `verbosity` (0: none, unless there is a log) into
    // `logFile` (empty: stderr), appended after a header line: the time in
    // UTC and `header` (the program, its version and command line). False,
    // with the message for the operator, when the log cannot be written.
    bool Start(int verbosity, const std::string& logFile, const std::string& header, std::string& error);
    bool Active() const { return m_trace != nullptr; }

    // The port to give the dialog: `link` with a tap into the trace, or
    // `link` itself when there is no trace. The trace must outlive it.
    std::unique_ptr<ISerialPort> Tap(std::unique_ptr<ISerialPort> link, PortMap map);
    // The dialog's flows tell their steps to the trace.
    void Follow(CLoaderDlg& dlg);

private:
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> m_log{nullptr, &std::fclose};
    std::unique_ptr<TrafficTrace> m_trace;  // writes out what it holds before the log closes
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

} // namespace quillet
