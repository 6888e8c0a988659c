// What the dialog needs of a serial port, and the messages a port sends to
// its owner window. CSerialLink (SerialLink.h) is the real port; the tests
// put a recording port in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillet {

// WM_USER and the EV_* bits carry the values and names the Windows headers
// give them. Where <windows.h> came first its macros stand for them (same
// values, checked below); elsewhere they are the program's own constants.
#ifndef WM_USER
constexpr unsigned WM_USER = 0x0400;
#endif
static_assert(WM_USER == 0x0400, "WM_USER as Windows defines it");
constexpr unsigned WM_SERIAL_BREAK = WM_USER + 1;
constexpr unsigned WM_SERIAL_CTS = WM_USER + 2;
constexpr unsigned WM_SERIAL_ERR = WM_USER + 4;
constexpr unsigned WM_SERIAL_RING = WM_USER + 5;
constexpr unsigned WM_SERIAL_RXCHAR = WM_USER + 7;
constexpr unsigned WM_SERIAL_RXFLAG = WM_USER + 8;
constexpr unsigned WM_SERIAL_WRITE_DONE = WM_USER + 9;
// Sent once when the device has gone away (USB adapter unplugged, the far
// end of a pseudo-terminal closed): the monitor thread has ended and closed
// the device.
constexpr unsigned WM_SERIAL_LOST = WM_USER + 10;

// Comm event mask bits.
#ifndef EV_RXCHAR
constexpr std::uint32_t EV_RXCHAR = 0x0001;
constexpr std::uint32_t EV_RXFLAG = 0x0002;
constexpr std::uint32_t EV_CTS = 0x0008;
constexpr std::uint32_t EV_BREAK = 0x0040;
constexpr std::uint32_t EV_ERR = 0x0080;
constexpr std::uint32_t EV_RING = 0x0100;
#endif
static_assert(EV_RXCHAR == 0x0001 && EV_RXFLAG == 0x0002 && EV_CTS == 0x0008 && EV_BREAK == 0x0040 &&
                  EV_ERR == 0x0080 && EV_RING == 0x0100,
              "comm event bits as Windows defines them");

// The owner window of a port. Messages arrive on the GUI thread, one call
// per message, in order; the port's monitor thread waits until each call
// has returned (as SendMessage does).
class ISerialOwner {
public:
    virtual ~ISerialOwner() = default;
    virtual long OnSerialMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

// Why the last OpenPort failed.
enum class OpenRefusal {
    None,       // it opened (or nothing was tried yet)
    Absent,     // no such device (or no device in the port map)
    Busy,       // another program holds it
    Denied,     // no permission
    NotSerial,  // the path is no serial port (a file, a folder, /dev/null)
    Unusable,   // it opened but could not be set up, and was closed again
};

class ISerialPort {
public:
    virtual ~ISerialPort() = default;
    // Opens COM `port` (1-based) with the given line settings. True when
    // the device was opened and set up. A device that is no serial port is
    // not used, and one whose set-up failed (reported in a box) is closed
    // again: nothing is ever written to either. Ends a running monitor
    // thread first. Does not start monitoring.
    virtual bool OpenPort(ISerialOwner* owner, unsigned port, unsigned baud, char parity,
                          unsigned dataBits, unsigned stopBits, std::uint32_t eventMask,
                          std::uint32_t writeBufferSize) = 0;
    virtual bool StartMonitor() = 0;
    // Queues `length` bytes for the monitor thread to write. The caller's
    // bytes may be reused at once. False when the request was refused
    // (longer than the write buffer, or no port).
    virtual bool QueueWrite(const std::uint8_t* bytes, std::size_t length) = 0;
    // As QueueWrite, but the write's completion comes only once the bytes
    // have left the line, not when the driver has taken them: for a pause
    // the instrument needs after them.
    virtual bool QueueWriteToLine(const std::uint8_t* bytes, std::size_t length) {
        return QueueWrite(bytes, length);
    }
    // As QueueWrite, but no WM_SERIAL_WRITE_DONE comes for this write: for
    // writes whose completion the owner has no use for (the instrument's
    // command frames, answered by a reply frame). A port may tell it all the
    // same; the real one spares the hand-off to the owner's thread.
    virtual bool QueueUntoldWrite(const std::uint8_t* bytes, std::size_t length) {
        return QueueWrite(bytes, length);
    }
    // Asks the monitor thread to close the device; returns at once.
    virtual void RequestClose() = 0;
    // True while a device is open (monitored or not).
    virtual bool IsOpen() const = 0;
    // When the last OpenPort failed for a reason the operator can mend (no
    // permission on the device, a path that is no serial port, a set-up
    // that failed), what to know about it, naming the device; empty
    // otherwise.
    virtual std::string OpenProblem() const { return {}; }
    virtual OpenRefusal LastOpenRefusal() const { return OpenRefusal::None; }
    // While a port is open: the line it really carries ("115200 8N1");
    // empty when that is just what was asked for or not known.
    virtual std::string LineInUse() const { return {}; }
    // While a port is open: why it cannot be switched to `parity` ("... cannot
    // switch the instrument's port to 8E1: use rfc2217:// or a local port");
    // empty when it can.
    virtual std::string ParityProblem(char parity) const {
        (void)parity;
        return {};
    }
    // The device COM `com` stands for, as the operator knows it
    // ("/dev/ttyUSB0"); empty when not known.
    virtual std::string DeviceName(unsigned com) const {
        (void)com;
        return {};
    }
};

} // namespace quillet
