// The serial port the command line gives the dialog: the real link, with a
// tap on both directions. It notes when the instrument last sent a byte
// (the time-out measure) and hands the traffic to the trace (-v, -vv).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Host.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"

namespace quillet::cli {

class Trace;

class TrafficPort : public ISerialPort, public ISerialOwner {
public:
    // `inner` is the real port; `map` names the devices for the trace.
    explicit TrafficPort(std::unique_ptr<ISerialPort> inner, PortMap map = {});

    // Where the traffic goes; null: nowhere.
    void SetTrace(Trace* trace) { m_trace = trace; }
    // Called for every received byte.
    std::function<void(std::uint8_t)> onReceived;

    std::uint64_t BytesReceived() const { return m_rxCount; }
    std::uint64_t BytesWritten() const { return m_txCount; }
    // The COM number last opened (0 before any).
    unsigned Com() const { return m_com; }
    // How many times a port was opened (or tried): each open is a new
    // connection, and what happened to an earlier one is over.
    std::uint64_t Opens() const { return m_opens; }

    // ISerialPort
    bool OpenPort(ISerialOwner* owner, unsigned port, unsigned baud, char parity,
                  unsigned dataBits, unsigned stopBits, std::uint32_t eventMask,
                  std::uint32_t writeBufferSize) override;
    bool StartMonitor() override { return m_inner->StartMonitor(); }
    bool QueueWrite(const std::uint8_t* bytes, std::size_t length) override;
    void RequestClose() override;
    bool IsOpen() const override { return m_inner->IsOpen(); }
    std::string OpenProblem() const override { return m_inner->OpenProblem(); }
    OpenRefusal LastOpenRefusal() const override { return m_inner->LastOpenRefusal(); }
    std::string DeviceName(unsigned com) const override { return m_inner->DeviceName(com); }
    std::string LineInUse() const override { return m_inner->LineInUse(); }
    std::string ParityProblem(char parity) const override { return m_inner->ParityProblem(parity); }

    // ISerialOwner: the link delivers here; everything goes on to the dialog.
    long OnSerialMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;

private:
    std::unique_ptr<ISerialPort> m_inner;
    const PortMap m_map;
    ISerialOwner* m_owner = nullptr;
    Trace* m_trace = nullptr;
    unsigned m_com = 0;
    std::uint64_t m_opens = 0;
    std::uint64_t m_rxCount = 0;
    std::uint64_t m_txCount = 0;
};

} // namespace quillet::cli
