#include "cli/TrafficPort.h"

#include "serial/PortMap.h"

namespace quillet::cli {

TrafficPort::TrafficPort(std::unique_ptr<ISerialPort> inner, std::function<std::uint64_t()> nowMs)
    : m_inner(std::move(inner)), m_now(std::move(nowMs)) {}

bool TrafficPort::OpenPort(ISerialOwner* owner, unsigned port, unsigned baud, char parity,
                           unsigned dataBits, unsigned stopBits, std::uint32_t eventMask,
                           std::uint32_t writeBufferSize) {
    m_owner = owner;
    FlushLog();
    const bool ok = m_inner->OpenPort(this, port, baud, parity, dataBits, stopBits, eventMask,
                                      writeBufferSize);
    if (m_log) {
        std::string device = PortMap::DevicePath(port);
        if (device.empty()) device = "absent";
        Note("open COM" + std::to_string(port) + " (" + device + ") " + std::to_string(baud) +
             " " + std::to_string(dataBits) + parity + std::to_string(stopBits) +
             (ok ? "" : ": not opened"));
    }
    return ok;
}

bool TrafficPort::QueueWrite(const std::uint8_t* bytes, std::size_t length) {
    m_txCount += length;
    if (m_log) {
        FlushLog();
        Dump("TX", bytes, length);
    }
    return m_inner->QueueWrite(bytes, length);
}

void TrafficPort::RequestClose() {
    if (m_log) {
        FlushLog();
        Note("close");
    }
    m_inner->RequestClose();
}

long TrafficPort::OnSerialMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
    if (msg == WM_SERIAL_RXCHAR) {
        const auto b = static_cast<std::uint8_t>(wParam & 0xFF);
        ++m_rxCount;
        if (m_log) {
            m_rxPending.push_back(b);
            if (m_rxPending.size() >= 4096) FlushLog();
        }
        if (onReceived) onReceived(b);
    } else if (msg == WM_SERIAL_RXFLAG) {
        // The link sends this after each burst of received bytes.
        FlushLog();
    } else if (msg == WM_SERIAL_LOST && m_log) {
        FlushLog();
        Note("device lost");
    }
    return m_owner ? m_owner->OnSerialMessage(msg, wParam, lParam) : 0;
}

void TrafficPort::FlushLog() {
    if (!m_log || m_rxPending.empty()) return;
    Dump("RX", m_rxPending.data(), m_rxPending.size());
    m_rxPending.clear();
}

void TrafficPort::Note(const std::string& text) {
    if (beforeLog) beforeLog();
    const std::uint64_t t = m_now ? m_now() : 0;
    std::fprintf(m_log, "%4llu.%03llu -- %s\n", static_cast<unsigned long long>(t / 1000),
                 static_cast<unsigned long long>(t % 1000), text.c_str());
}

void TrafficPort::Dump(const char* dir, const std::uint8_t* bytes, std::size_t n) {
    if (beforeLog) beforeLog();
    const std::uint64_t t = m_now ? m_now() : 0;
    constexpr std::size_t kPerLine = 32;
    for (std::size_t off = 0; off < n || off == 0; off += kPerLine) {
        if (off == 0)
            std::fprintf(m_log, "%4llu.%03llu %s %4zu:", static_cast<unsigned long long>(t / 1000),
                         static_cast<unsigned long long>(t % 1000), dir, n);
        else
            std::fprintf(m_log, "%*s", 17, "");
        for (std::size_t i = off; i < n && i < off + kPerLine; ++i)
            std::fprintf(m_log, " %02x", bytes[i]);
        std::fputc('\n', m_log);
        if (n == 0) break;
    }
    std::fflush(m_log);
}

} // namespace quillet::cli
