// The serial port the command line gives the dialog: the real link, with a
// tap on both directions. It notes when the instrument last sent a byte
// (the time-out measure) and, in verbose mode, writes a time-stamped hex
// dump of the traffic.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Host.h"
#include "serial/SerialPort.h"

namespace quillet::cli {

class TrafficPort : public ISerialPort, public ISerialOwner {
public:
    // `inner` is the real port; `nowMs` the clock of the time stamps.
    TrafficPort(std::unique_ptr<ISerialPort> inner, std::function<std::uint64_t()> nowMs);

    void SetVerbose(std::FILE* log) { m_log = log; }
    // Called before a dump line is written (the progress bar clears its line).
    std::function<void()> beforeLog;
    // Called for every received byte.
    std::function<void(std::uint8_t)> onReceived;

    std::uint64_t BytesReceived() const { return m_rxCount; }
    std::uint64_t BytesWritten() const { return m_txCount; }
    // Writes out received bytes not dumped yet.
    void FlushLog();

    // ISerialPort
    bool OpenPort(ISerialOwner* owner, unsigned port, unsigned baud, char parity,
                  unsigned dataBits, unsigned stopBits, std::uint32_t eventMask,
                  std::uint32_t writeBufferSize) override;
    bool StartMonitor() override { return m_inner->StartMonitor(); }
    bool QueueWrite(const std::uint8_t* bytes, std::size_t length) override;
    void RequestClose() override;
    bool IsOpen() const override { return m_inner->IsOpen(); }
    std::string OpenProblem() const override { return m_inner->OpenProblem(); }

    // ISerialOwner: the link delivers here; everything goes on to the dialog.
    long OnSerialMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) override;

private:
    void Dump(const char* dir, const std::uint8_t* bytes, std::size_t n);
    void Note(const std::string& text);

    std::unique_ptr<ISerialPort> m_inner;
    std::function<std::uint64_t()> m_now;
    ISerialOwner* m_owner = nullptr;
    std::FILE* m_log = nullptr;
    std::vector<std::uint8_t> m_rxPending;
    std::uint64_t m_rxCount = 0;
    std::uint64_t m_txCount = 0;
};

} // namespace quillet::cli
