// A serial port with a tap on both directions: the real link underneath,
// and every opening, byte and closing handed to a TrafficTap (the trace of
// quillet-cli -v, quillet -v and --log). It also notes how many bytes went
// each way and tells every received byte (the command line's time-out
// measure).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Host.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"

namespace quillet {

// What a TrafficPort hands on.
class TrafficTap {
public:
    // A port opened, or why not. `lineInUse`: the settings the port really
    // has, when the port knows them.
    virtual void Opened(unsigned com, const std::string& device, unsigned baud, unsigned dataBits,
                        char parity, unsigned stopBits, bool ok, OpenRefusal refusal,
                        const std::string& problem, const std::string& lineInUse) = 0;
    virtual void Sent(const std::uint8_t* bytes, std::size_t n) = 0;
    virtual void Received(std::uint8_t b) = 0;
    // The link has delivered a burst of received bytes.
    virtual void BurstEnd() = 0;
    virtual void Closed() = 0;
    virtual void Lost() = 0;
    // Writes out what is held (before a port opens, which may take a while).
    virtual void Flush() = 0;

protected:
    ~TrafficTap() = default;
};

class TrafficPort : public ISerialPort, public ISerialOwner {
public:
    // `inner` is the real port; `map` names the devices for the tap.
    explicit TrafficPort(std::unique_ptr<ISerialPort> inner, PortMap map = {});

    // Where the traffic goes; null: nowhere.
    void SetTrace(TrafficTap* tap) { m_tap = tap; }
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
    bool QueueWriteToLine(const std::uint8_t* bytes, std::size_t length) override;
    bool QueueUntoldWrite(const std::uint8_t* bytes, std::size_t length) override;
    void RequestClose() override;
    bool IsOpen() const override { return m_inner->IsOpen(); }
    std::string OpenProblem() const override { return m_inner->OpenProblem(); }
    OpenRefusal LastOpenRefusal() const override { return m_inner->LastOpenRefusal(); }
    std::string DeviceName(unsigned com) const override { return m_inner->DeviceName(com); }
    std::string LineInUse() const override { return m_inner->LineInUse(); }
    std::string ParityProblem(char parity) const override { return m_inner->ParityProblem(parity); }

    // ISerialOwner: the link delivers here; everything goes on to the owner.
    long OnSerialMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;

private:
    std::unique_ptr<ISerialPort> m_inner;
    const PortMap m_map;
    ISerialOwner* m_owner = nullptr;
    TrafficTap* m_tap = nullptr;
    unsigned m_com = 0;
    std::uint64_t m_opens = 0;
    std::uint64_t m_rxCount = 0;
    std::uint64_t m_txCount = 0;
};

} // namespace quillet
