// The Windows backend of ISerialDevice: the comm API with overlapped I/O.
//
// The device is opened without sharing, so no other program gets a port
// while Quillet has it; a path that is no serial port (a file, another
// device) is closed again at once. The monitor thread waits on the wake
// event and on a pending WaitCommEvent; reads take what the driver has queued, writes
// complete when the driver has taken the bytes; Drain, Configure and Close
// wait until it has sent them (FlushFileBuffers).
#ifdef _WIN32

#include "platform/WindowsHeaders.h"

#include <algorithm>
#include <cstdio>

#include "platform/Utf8.h"
#include "serial/SerialDevice.h"

namespace quillet {
namespace {

std::string SystemText(DWORD code) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string result = n && text ? std::string(text, n) : "Error " + std::to_string(code);
    if (text) LocalFree(text);
    return result;
}

SerialFailure Failure(const char* call, DWORD code) { return SerialFailure{call, SystemText(code)}; }

// The system's text without its line break and full stop.
std::string TrimmedText(DWORD code) {
    std::string text = SystemText(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text;
}

// "COM12" for "\\.\COM12".
std::string DisplayName(const std::string& path) {
    return path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
}

// A wait or read that failed on a port that still answers is tried again,
// after a pause, at most this many times in a row.
constexpr unsigned kMaxPassingFailures = 20;
constexpr DWORD kPassingFailurePauseMs = 20;

// Errors that say the device itself is gone, whatever the port still answers.
bool SurelyGone(DWORD code) {
    return code == ERROR_IO_DEVICE || code == ERROR_DEVICE_NOT_CONNECTED || code == ERROR_DEVICE_REMOVED ||
           code == ERROR_INVALID_HANDLE || code == ERROR_FILE_NOT_FOUND;
}

// Errors a comm handle gives once its device has been removed.
bool MeansGone(DWORD code) {
    return code == ERROR_ACCESS_DENIED || code == ERROR_BAD_COMMAND || code == ERROR_GEN_FAILURE ||
           code == ERROR_DEVICE_NOT_CONNECTED || code == ERROR_DEVICE_REMOVED || code == ERROR_NOT_READY ||
           code == ERROR_IO_DEVICE || code == ERROR_OPERATION_ABORTED || code == ERROR_INVALID_HANDLE ||
           code == ERROR_FILE_NOT_FOUND;
}

class Win32SerialDevice final : public ISerialDevice {
public:
    Win32SerialDevice() {
        m_wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }

    ~Win32SerialDevice() override {
        Close();
        for (HANDLE h : {m_wake, m_waitEvent, m_readEvent, m_writeEvent})
            if (h) CloseHandle(h);
    }

    OpenStatus Open(const std::string& path) override {
        Close();
        m_problem.clear();
        if (path.empty()) return OpenStatus::Absent;
        // Not shared: while Quillet has the port no other program gets it.
        m_port = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (m_port == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            m_port = nullptr;
            // A port another program holds answers "access denied"; one
            // that is not there answers "not found". The operator is told
            // which (the first needs the other program closed).
            if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
                m_problem = DisplayName(path) + " is in use by another program, or this user may not open it (" +
                            TrimmedText(code) + ").";
                return OpenStatus::Denied;
            }
            return OpenStatus::Absent;
        }
        // Only a serial port: a file or another device is closed again
        // before anything is written to it.
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (GetFileType(m_port) != FILE_TYPE_CHAR || !GetCommState(m_port, &dcb)) {
            CloseHandle(m_port);
            m_port = nullptr;
            m_problem = DisplayName(path) + " is not a serial port; nothing was written to it.";
            return OpenStatus::NotSerial;
        }
        return OpenStatus::Opened;
    }

    std::string Problem() const override { return m_problem; }

    std::optional<SerialFailure> Configure(const LineSettings& line) override {
        // A new line setting must not catch bytes on their way out.
        if (const IoResult drained = Drain(); drained.failure) return drained.failure;
        COMMTIMEOUTS timeouts{1000, 1000, 1000, 1000, 1000};
        if (!SetCommTimeouts(m_port, &timeouts)) return Failure("SetCommTimeouts()", GetLastError());
        // Received bytes must wake the monitor thread whatever else is asked for.
        if (!SetCommMask(m_port, line.eventMask | EV_RXCHAR)) return Failure("SetCommMask()", GetLastError());
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(m_port, &dcb)) return Failure("GetCommState()", GetLastError());
        dcb.EvtChar = 'q';
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        char definition[50];
        std::snprintf(definition, sizeof definition, "baud=%u parity=%c data=%u stop=%u", line.baud, line.parity,
                      line.dataBits, line.stopBits);
        if (!BuildCommDCBA(definition, &dcb)) return Failure("BuildCommDCB()", GetLastError());
        if (!SetCommState(m_port, &dcb)) return Failure("SetCommState()", GetLastError());
        return std::nullopt;
    }

    bool IsOpen() const override { return m_port != nullptr; }

    void PurgeInput() override {
        if (m_port) PurgeComm(m_port, PURGE_RXCLEAR);
    }

    WaitResult WaitForInput() override {
        for (;;) {
            DWORD errors = 0;
            COMSTAT status{};
            if (!ClearCommError(m_port, &errors, &status)) {
                const DWORD code = GetLastError();
                if (Passing(code)) continue;
                m_lastFailure = Failure("ReadFile()", code);
                return WaitResult::Gone;
            }
            if (status.cbInQue > 0) return WaitResult::Input;
            if (!m_waitPending) {
                ResetEvent(m_waitEvent);
                m_waitOv = OVERLAPPED{};
                m_waitOv.hEvent = m_waitEvent;
                m_events = 0;
                if (WaitCommEvent(m_port, &m_events, &m_waitOv)) continue;  // an event came at once
                const DWORD code = GetLastError();
                if (code != ERROR_IO_PENDING) {
                    if (Passing(code)) continue;
                    m_lastFailure = Failure("WaitCommEvent()", code);
                    return WaitResult::Gone;
                }
                m_waitPending = true;
            }
            HANDLE handles[2] = {m_wake, m_waitEvent};
            const DWORD which = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            if (which == WAIT_OBJECT_0) return WaitResult::Woken;
            if (which != WAIT_OBJECT_0 + 1) {
                m_lastFailure = Failure("WaitCommEvent()", GetLastError());
                return WaitResult::Gone;
            }
            DWORD unused = 0;
            m_waitPending = false;
            if (!GetOverlappedResult(m_port, &m_waitOv, &unused, FALSE)) {
                const DWORD code = GetLastError();
                if (Passing(code)) continue;
                m_lastFailure = Failure("WaitCommEvent()", code);
                return WaitResult::Gone;
            }
            m_passingFailures = 0;
        }
    }

    IoResult Read(std::uint8_t* buffer, std::size_t capacity) override {
        for (;;) {
            DWORD code = ERROR_SUCCESS;
            const IoResult result = ReadOnce(buffer, capacity, code);
            if (result.status == IoStatus::Done || !Passing(code)) return result;
        }
    }

    IoResult Write(const std::uint8_t* bytes, std::size_t length,
                   const std::function<bool()>& stop) override {
        // WriteFile and ReadFile set the event to non-signalled themselves
        // when they start (a ResetEvent before them would cost a request to
        // wine's server for every block).
        OVERLAPPED ov{};
        ov.hEvent = m_writeEvent;
        DWORD written = 0;
        if (!WriteFile(m_port, bytes, static_cast<DWORD>(length), &written, &ov)) {
            DWORD code = GetLastError();
            if (code != ERROR_IO_PENDING) return WriteFailure(code, 0);
            for (;;) {
                HANDLE handles[2] = {m_wake, m_writeEvent};
                const DWORD which = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
                if (which == WAIT_OBJECT_0) {
                    ClearWake();
                    if (stop && stop()) {
                        CancelIoEx(m_port, &ov);
                        GetOverlappedResult(m_port, &ov, &written, TRUE);
                        return {IoStatus::Stopped, written, std::nullopt};
                    }
                    continue;
                }
                if (!GetOverlappedResult(m_port, &ov, &written, TRUE)) return WriteFailure(GetLastError(), written);
                break;
            }
        }
        // Done when the driver has the bytes; Drain waits until it has sent them.
        m_unsent = m_unsent || written > 0;
        return {IoStatus::Done, written, std::nullopt};
    }

    IoResult Drain() override {
        if (!m_unsent) return {};
        if (!FlushFileBuffers(m_port)) return WriteFailure(GetLastError(), 0);
        m_unsent = false;
        return {};
    }

    void ClearWake() override { ResetEvent(m_wake); }

    void Close() override {
        if (!m_port) return;
        // What was written goes out before the port is let go (a removed
        // device fails at once).
        (void)Drain();
        m_unsent = false;
        if (m_waitPending) {
            // Ends the pending WaitCommEvent before its record goes away.
            SetCommMask(m_port, 0);
            CancelIoEx(m_port, &m_waitOv);
            DWORD unused = 0;
            GetOverlappedResult(m_port, &m_waitOv, &unused, TRUE);
            m_waitPending = false;
        }
        CloseHandle(m_port);
        m_port = nullptr;
    }

    SerialFailure LastFailure() const override { return m_lastFailure; }

    void Wake() override { SetEvent(m_wake); }

private:
    // One read of what is waiting; `code` is the error when it failed.
    IoResult ReadOnce(std::uint8_t* buffer, std::size_t capacity, DWORD& code) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(m_port, &errors, &status)) {
            code = GetLastError();
            return {IoStatus::Gone, 0, Failure("ReadFile()", code)};
        }
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(status.cbInQue, capacity));
        if (want == 0) return {IoStatus::Done, 0, std::nullopt};
        OVERLAPPED ov{};
        ov.hEvent = m_readEvent;
        DWORD got = 0;
        if (!ReadFile(m_port, buffer, want, &got, &ov)) {
            code = GetLastError();
            if (code != ERROR_IO_PENDING) return {IoStatus::Gone, 0, Failure("ReadFile()", code)};
            if (!GetOverlappedResult(m_port, &ov, &got, TRUE)) {
                code = GetLastError();
                return {IoStatus::Gone, 0, Failure("GetOverlappedResults() in ReadFile()", code)};
            }
        }
        m_passingFailures = 0;
        return {IoStatus::Done, got, std::nullopt};
    }

    // Whether a wait or read that failed with `code` is to be tried again:
    // wine ends a WaitCommEvent with ERROR_OPERATION_ABORTED, on a port
    // that is still there, when one of its polls of the modem lines fails
    // (it polls them while it waits); a port whose adapter was pulled out
    // fails every call, the status query below too. So a failure passes
    // when the error does not say the device is gone, the port still
    // answers, and it has not failed so many times in a row. After a
    // pause: the same failure is not met again at once.
    bool Passing(DWORD code) {
        if (SurelyGone(code) || m_passingFailures >= kMaxPassingFailures) return false;
        DWORD errors = 0;
        COMSTAT status{};
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!ClearCommError(m_port, &errors, &status) || !GetCommState(m_port, &dcb)) return false;
        ++m_passingFailures;
        Sleep(kPassingFailurePauseMs);
        return true;
    }

    IoResult WriteFailure(DWORD code, DWORD written) {
        return {MeansGone(code) ? IoStatus::Gone : IoStatus::Failed, written, Failure("WriteFile()", code)};
    }

    HANDLE m_port = nullptr;
    HANDLE m_wake = nullptr;
    HANDLE m_waitEvent = nullptr;
    HANDLE m_readEvent = nullptr;
    HANDLE m_writeEvent = nullptr;
    bool m_unsent = false;  // written since the last drain
    OVERLAPPED m_waitOv{};
    DWORD m_events = 0;
    bool m_waitPending = false;
    unsigned m_passingFailures = 0;  // failures in a row that passed
    SerialFailure m_lastFailure;
    std::string m_problem;
};

} // namespace

std::unique_ptr<ISerialDevice> MakeLocalSerialDevice() { return std::make_unique<Win32SerialDevice>(); }

} // namespace quillet

#endif // _WIN32
