// The instrument link: opening the port, command frames out, and the
// reply-frame parser with its reply table and console filter.
#include "engine/InstrumentLink.h"

namespace quillet {

bool InstrumentLink::Open(unsigned com, char parity) {
    if (!m_port->OpenPort(m_owner, com, m_line.baud, parity, m_line.dataBits, m_line.stopBits, m_line.eventMask,
                          kWriteBufferSize))
        return false;
    m_port->StartMonitor();
    return true;
}

void InstrumentLink::Close() {
    m_ready = false;
    m_port->RequestClose();
}

InstrumentLink::Command InstrumentLink::SendCommand(std::uint16_t code, const std::uint8_t* payload, int count) {
    if (count > kMaxPayload) return Command::TooLong;
    if (count < 0) return Command::Dropped;
    const std::size_t size = BuildRequestFrame(m_cmd, m_device, m_console, code, payload, count);
    if (!m_ready) return Command::NotReady;
    // The reply frame answers it: its completion is of no use.
    m_port->QueueUntoldWrite(m_cmd, size);
    return Command::Sent;
}

// The reply-frame parser, by receive state: idle waits for the header, 0
// and 1 take the device address, 2 and 3 the length, 4 and on the rest of
// the frame up to its checksum. Byte i of the frame is stored at index i,
// which is the state + 1.
bool InstrumentLink::TakeReplyByte(std::uint8_t b) {
    switch (m_rxState) {
    case kRxIdle:
        if (b != kReplyHeader) return false;
        m_reply[0] = b;
        m_rxState = 0;
        break;
    case 0: TakeByteOfState(b, b == m_device.group); break;
    case 1: TakeByteOfState(b, b == m_device.machine); break;
    case 2:
        m_expectedLength = b;
        TakeByteOfState(b, true);
        break;
    case 3: TakeLengthHigh(b); break;
    default: TakeFrameByte(b); break;
    }
    return true;
}

// Stores the byte of this state and moves on, or drops the frame.
void InstrumentLink::TakeByteOfState(std::uint8_t b, bool accepted) {
    if (!accepted) {
        m_rxState = kRxIdle;
        return;
    }
    m_reply[m_rxState + 1] = b;
    ++m_rxState;
}

void InstrumentLink::TakeLengthHigh(std::uint8_t b) {
    if (b > 0x01) {
        m_rxState = kRxIdle;
        return;
    }
    m_reply[4] = b;
    m_expectedLength += b * 256;
    // Too long for the buffer, or too short to hold a code and a checksum:
    // the frame is abandoned here and the next byte is looked at from idle.
    m_rxState = (m_expectedLength > kMaxReplyLength || m_expectedLength < kMinReplyLength) ? kRxIdle : 4;
}

// State 4 and on: payload and checksum. The state is shared with the
// search-reply matcher, so it may arrive here from a search rather than
// from a length field this parser accepted; anything that would not end
// inside the accepted frame size is abandoned. Stores therefore stay below
// index kMaxReplyLength + 5 <= kReplyBufferSize.
void InstrumentLink::TakeFrameByte(std::uint8_t b) {
    const int s = m_rxState;
    const int last = m_expectedLength + 3;
    if (s < 4 || m_expectedLength < kMinReplyLength || m_expectedLength > kMaxReplyLength || s > last) {
        m_rxState = kRxIdle;
        return;
    }
    m_reply[s + 1] = b;
    if (s != last) {
        m_rxState = s + 1;
        return;
    }
    DispatchReply();
    m_rxState = kRxIdle;
}

// A complete frame at indices 0 .. expected length + 4: checksum, reply
// code, reply table, console-address filter, then the sink (with the
// receive state still that of the frame).
void InstrumentLink::DispatchReply() {
    const int size = m_expectedLength + 5;
    if (FrameSum(m_reply, static_cast<std::size_t>(size)) != 0) return;
    // A code read from bytes 9 and 10 must lie inside this frame, not in
    // what an earlier frame left in the buffer.
    if (ReplyCodeEnd(m_reply) >= size) return;
    const std::uint16_t code = ReplyCode(m_reply);
    for (std::size_t entry = 0; entry < kReplyCodes.size(); ++entry) {
        if (kReplyCodes[entry] != code) continue;
        if (code != kCodeAnyConsole && !ConsoleAccepts(m_console, m_reply[5], m_reply[6])) return;
        if (m_sink) m_sink(entry, m_reply);
        return;
    }
}

} // namespace quillet
