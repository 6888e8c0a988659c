#include "serial/TrafficPort.h"

namespace quillet {

TrafficPort::TrafficPort(std::unique_ptr<ISerialPort> inner, PortMap map)
    : m_inner(std::move(inner)), m_map(std::move(map)) {}

bool TrafficPort::OpenPort(ISerialOwner* owner, unsigned port, unsigned baud, char parity,
                           unsigned dataBits, unsigned stopBits, std::uint32_t eventMask,
                           std::uint32_t writeBufferSize) {
    m_owner = owner;
    ++m_opens;
    if (m_tap) m_tap->Flush();
    const bool ok = m_inner->OpenPort(this, port, baud, parity, dataBits, stopBits, eventMask,
                                      writeBufferSize);
    m_com = port;
    if (m_tap)
        m_tap->Opened(port, m_map.DevicePath(port), baud, dataBits, parity, stopBits, ok,
                      ok ? OpenRefusal::None : m_inner->LastOpenRefusal(),
                      ok ? std::string() : m_inner->OpenProblem(), ok ? m_inner->LineInUse() : std::string());
    return ok;
}

bool TrafficPort::QueueWrite(const std::uint8_t* bytes, std::size_t length) {
    m_txCount += length;
    if (m_tap) m_tap->Sent(bytes, length);
    return m_inner->QueueWrite(bytes, length);
}

bool TrafficPort::QueueWriteToLine(const std::uint8_t* bytes, std::size_t length) {
    m_txCount += length;
    if (m_tap) m_tap->Sent(bytes, length);
    return m_inner->QueueWriteToLine(bytes, length);
}

bool TrafficPort::QueueUntoldWrite(const std::uint8_t* bytes, std::size_t length) {
    m_txCount += length;
    if (m_tap) m_tap->Sent(bytes, length);
    return m_inner->QueueUntoldWrite(bytes, length);
}

void TrafficPort::RequestClose() {
    if (m_tap) m_tap->Closed();
    m_inner->RequestClose();
}

long TrafficPort::OnSerialMessage(unsigned msg, std::uintptr_t wParam, std::intptr_t lParam) {
    if (msg == WM_SERIAL_RXCHAR) {
        const auto b = static_cast<std::uint8_t>(wParam & 0xFF);
        ++m_rxCount;
        if (m_tap) m_tap->Received(b);
        if (onReceived) onReceived(b);
    } else if (msg == WM_SERIAL_RXFLAG) {
        // The link sends this after each burst of received bytes.
        if (m_tap) m_tap->BurstEnd();
    } else if (msg == WM_SERIAL_LOST && m_tap) {
        m_tap->Lost();
    }
    return m_owner ? m_owner->OnSerialMessage(msg, wParam, lParam) : 0;
}

} // namespace quillet
