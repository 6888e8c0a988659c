// CSerialLink: one serial port, opened and configured on the GUI thread,
// with a monitor thread that does all waiting, reading and writing and hands
// every received byte and every completed write (but those queued untold) to
// the owner window.
//
// The device itself sits behind ISerialDevice (a POSIX termios backend
// here, a Win32 one beside it). COM numbers become device names through the
// link's own port map (PortMap.h).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Host.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"

namespace quillet {

class ISerialDevice;

class CSerialLink : public ISerialPort {
public:
    // Makes the device behind the link (the platform's serial device unless
    // given: the demo puts an in-process instrument there).
    using DeviceFactory = std::function<std::unique_ptr<ISerialDevice>()>;

    // `host` carries messages to the GUI thread and shows error boxes;
    // `map` names the device of each COM number (the system's by default).
    explicit CSerialLink(IHost& host, PortMap map = {}, DeviceFactory makeDevice = {});
    ~CSerialLink() override;
    CSerialLink(const CSerialLink&) = delete;
    CSerialLink& operator=(const CSerialLink&) = delete;

    bool OpenPort(ISerialOwner* owner, unsigned port, unsigned baud, char parity,
                  unsigned dataBits, unsigned stopBits, std::uint32_t eventMask,
                  std::uint32_t writeBufferSize) override;
    bool StartMonitor() override;
    bool QueueWrite(const std::uint8_t* bytes, std::size_t length) override;
    bool QueueWriteToLine(const std::uint8_t* bytes, std::size_t length) override;
    bool QueueUntoldWrite(const std::uint8_t* bytes, std::size_t length) override;
    void RequestClose() override;
    bool IsOpen() const override;
    // After an open refused for lack of permission: what the operator can do.
    std::string OpenProblem() const override;
    // The map the link opens COM numbers through.
    const PortMap& Map() const;
    OpenRefusal LastOpenRefusal() const override;
    std::string LineInUse() const override;
    std::string ParityProblem(char parity) const override;
    std::string DeviceName(unsigned com) const override;

    // Builds the box text "WARNING:  %s Failed with the following error: \n%s\nPort: %d\n".
    static std::string FormatCommError(const std::string& call, const std::string& systemText,
                                       unsigned port);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace quillet
