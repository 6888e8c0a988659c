// ISerialDevice: one serial device as the link needs it, whatever the
// operating system. CSerialLink opens and configures it on the GUI thread
// and hands it to its monitor thread, which alone waits on it, reads and
// writes until the device is closed. Only Wake() may be called from another
// thread while the monitor thread uses the device.
//
// Backends: PosixSerialDevice.cpp (termios) and Win32SerialDevice.cpp
// (overlapped comm API) for local ports, NetSerialDevice.cpp for rfc2217://
// and socket:// URLs. MakeLocalSerialDevice() returns the local one of the
// platform the program is built for; MakeSerialDevice() a device that opens
// each path with the backend it needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quillet {

// The line as OpenPort asks for it.
struct LineSettings {
    unsigned baud = 115200;
    char parity = 'N';  // 'N', 'E', 'O', 'M' or 'S'
    unsigned dataBits = 8;
    unsigned stopBits = 1;
    std::uint32_t eventMask = 0;
};

// A failed system call: the call's name as the error box shows it and the
// system's text for the error.
struct SerialFailure {
    std::string call;
    std::string text;
};

class ISerialDevice {
public:
    enum class OpenStatus {
        Opened,
        Absent,     // no such device
        Busy,       // held by another program
        Denied,     // no permission; Problem() says what to do
        NotSerial,  // a file, folder or device that is no serial port; Problem() names it
    };
    enum class WaitResult {
        Input,  // bytes can be read (or the read will tell that the device is gone)
        Woken,  // Wake() was called
        Gone,   // the device has gone away; LastFailure() holds the reason
    };
    enum class IoStatus {
        Done,     // read: `count` bytes (possibly 0 when none are waiting); write: all taken by the driver
        Failed,   // the call failed; the device is still there
        Gone,     // the device has gone away
        Stopped,  // write: Wake() came while waiting for room and `stop` said so
    };
    struct IoResult {
        IoStatus status = IoStatus::Done;
        std::size_t count = 0;
        std::optional<SerialFailure> failure;
    };

    virtual ~ISerialDevice() = default;

    // ---- GUI thread, while no monitor thread uses the device --------------
    // Opens `path` only when it is a serial port (a terminal): anything else
    // is closed again before a byte could reach it.
    virtual OpenStatus Open(const std::string& path) = 0;
    // When Open answered Denied or NotSerial: what the operator should know.
    virtual std::string Problem() const = 0;
    // Applies the line settings; the first step that fails, if any.
    virtual std::optional<SerialFailure> Configure(const LineSettings& line) = 0;
    virtual bool IsOpen() const = 0;
    // The line as the device really carries it since the last Configure
    // ("115200 8N1"); empty when it is just what was asked for.
    virtual std::string LineInUse() const { return {}; }
    // Why the open device cannot be switched to `parity` (naming the device
    // and what to use instead); empty when it can, or when nobody knows.
    virtual std::string ParityProblem(char parity) const {
        (void)parity;
        return {};
    }

    // ---- the thread that owns the device ----------------------------------
    // Discards received bytes not yet read (never bytes waiting to be sent).
    virtual void PurgeInput() = 0;
    // Waits until input is waiting, the device is gone or Wake() is called.
    virtual WaitResult WaitForInput() = 0;
    // Reads what is waiting, at most `capacity` bytes, without blocking.
    virtual IoResult Read(std::uint8_t* buffer, std::size_t capacity) = 0;
    // Writes all `length` bytes: done when the driver has taken them (they
    // may still be on their way out). While waiting for room, a Wake()
    // asks `stop` whether to give up.
    virtual IoResult Write(const std::uint8_t* bytes, std::size_t length,
                           const std::function<bool()>& stop) = 0;
    // Waits until every byte written has left the line. Configure and
    // Close do so themselves; a pause that must start on an empty line
    // asks for it.
    virtual IoResult Drain() { return {}; }
    // Takes back a Wake() once it has been seen.
    virtual void ClearWake() = 0;
    virtual void Close() = 0;
    // Why WaitForInput answered Gone.
    virtual SerialFailure LastFailure() const = 0;

    // ---- any thread ---------------------------------------------------------
    // Makes a running or the next WaitForInput return Woken.
    virtual void Wake() = 0;
};

std::unique_ptr<ISerialDevice> MakeLocalSerialDevice();
std::unique_ptr<ISerialDevice> MakeSerialDevice();

} // namespace quillet
