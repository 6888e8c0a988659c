// CLoaderDlg: the generic frame sender, the opcode table and the receive
// dispatcher that hands every received byte to the one consumer of the
// activity in progress.
#include "dialog/LoaderDlg.h"
#include "protocol/Frame.h"

namespace quillet {

void CLoaderDlg::SendCommand(std::uint16_t code, int count, const std::uint8_t* payload) {
    if (count > kMaxPayload) {
        m_host.MessageBox("Too much parameter.", kCaptionConsole);
        return;
    }
    // A negative count cannot describe a payload; such a call is dropped.
    if (count < 0) return;
    const std::size_t size = BuildRequestFrame(m_cmd, {m_devGroup, m_devMachine},
                                               {m_conGroup, m_conMachine}, code, payload, count);
    if (!m_bPortOpen) {
        m_host.MessageBox("Com port is not on yet.", kCaptionConsole);
        return;
    }
    m_port->QueueWrite(m_cmd, size);
}

void CLoaderDlg::OnEmptyOpcode() {}

void CLoaderDlg::FillOpcodeTable() {
    for (std::size_t i = 0; i < m_opcodes.size(); ++i)
        m_opcodes[i] = OpcodeEntry{kReplyCodes[i], &CLoaderDlg::OnEmptyOpcode};
    m_opcodes[kBlockAckEntry].handler = &CLoaderDlg::OnBlockAck;
}

long CLoaderDlg::OnSerialRxChar(std::uintptr_t wParam, std::intptr_t lParam) {
    if (lParam < 1 || lParam > 99) return -1;
    const auto b = static_cast<std::uint8_t>(wParam & 0xFF);
    if (m_eraseFlow.Waiting())
        EraseWaitByte(b);
    else if (m_searchFlow.Running())
        MatchSearchReply(b);
    else if (m_boardFlow.Active())
        m_boardFlow.OnByte(b);
    else if (m_bootFlow.Active())
        BootloaderStep(b);
    else
        ParseReplyByte(b);
    return 0;
}

// The reply-frame parser, by receive state: -1 waits for the header, 0 and
// 1 take the device address, 2 and 3 the length, 4 and on the rest of the
// frame up to its checksum. Byte i of the frame is stored at index i, which
// is the state + 1.
void CLoaderDlg::ParseReplyByte(std::uint8_t b) {
    switch (m_nRxState) {
    case kRxIdle: ParseIdleByte(b); break;
    case 0: TakeReplyByte(b, b == m_devGroup); break;
    case 1: TakeReplyByte(b, b == m_devMachine); break;
    case 2:
        m_nExpectedLength = b;
        TakeReplyByte(b, true);
        break;
    case 3: ParseLengthHigh(b); break;
    default: ParseFrameByte(b); break;
    }
}

// Outside a frame: the header starts one; while a firmware entry is under
// way every other byte goes to the banner matcher.
void CLoaderDlg::ParseIdleByte(std::uint8_t b) {
    if (b == kReplyHeader) {
        m_reply[0] = b;
        m_nRxState = 0;
    } else if (m_entryFlow.Waiting()) {
        MatchBanner(b);
    }
}

// Stores the byte of this state and moves on, or drops the frame.
void CLoaderDlg::TakeReplyByte(std::uint8_t b, bool accepted) {
    if (!accepted) {
        m_nRxState = kRxIdle;
        return;
    }
    m_reply[m_nRxState + 1] = b;
    ++m_nRxState;
}

void CLoaderDlg::ParseLengthHigh(std::uint8_t b) {
    if (b > 0x01) {
        m_nRxState = kRxIdle;
        return;
    }
    m_reply[4] = b;
    m_nExpectedLength += b * 256;
    // Too long for the buffer, or too short to hold a code and a checksum:
    // the frame is abandoned here and the next byte is looked at from idle.
    m_nRxState = (m_nExpectedLength > kMaxReplyLength || m_nExpectedLength < kMinReplyLength)
                     ? kRxIdle
                     : 4;
}

// State 4 and on: payload and checksum. The state is shared with the
// search-reply matcher, so it may arrive here from a search rather than
// from a length field this parser accepted; anything that would not end
// inside the accepted frame size is abandoned. Stores therefore stay below
// index kMaxReplyLength + 5 <= 520.
void CLoaderDlg::ParseFrameByte(std::uint8_t b) {
    const int s = m_nRxState;
    const int last = m_nExpectedLength + 3;
    if (s < 4 || m_nExpectedLength < kMinReplyLength || m_nExpectedLength > kMaxReplyLength ||
        s > last) {
        m_nRxState = kRxIdle;
        return;
    }
    m_reply[s + 1] = b;
    if (s != last) {
        m_nRxState = s + 1;
        return;
    }
    DispatchReply();
    m_nRxState = kRxIdle;
}

// A complete frame at indices 0 .. expected length + 4: checksum, reply
// code, opcode table, console-address filter, then the code's handler
// (with the receive state still that of the frame).
void CLoaderDlg::DispatchReply() {
    const int size = m_nExpectedLength + 5;
    if (FrameSum(m_reply, static_cast<std::size_t>(size)) != 0) return;
    // A code read from bytes 9 and 10 must lie inside this frame, not in
    // what an earlier frame left in the buffer.
    if (ReplyCodeEnd(m_reply) >= size) return;
    const std::uint16_t code = ReplyCode(m_reply);
    for (const OpcodeEntry& entry : m_opcodes) {
        if (entry.code != code) continue;
        if (code != kCodeAnyConsole &&
            !ConsoleAccepts({m_conGroup, m_conMachine}, m_reply[5], m_reply[6]))
            return;
        if (entry.handler) (this->*entry.handler)();
        return;
    }
}

} // namespace quillet
