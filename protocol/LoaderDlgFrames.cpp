// CLoaderDlg: the generic frame sender, the opcode table and the receive
// dispatcher that hands every received byte to the one consumer of the
// activity in progress.
#include "app/LoaderDlg.h"
#include "protocol/Frame.h"

namespace quillet {

static_assert(sizeof(CLoaderDlg::m_cmd) >= kMaxRequestFrame, "command buffer holds the largest frame");
static_assert(sizeof(CLoaderDlg::m_reply) == kReplyBufferSize, "reply buffer size");

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
    if (m_nEraseWait != 0)
        EraseWaitByte(b);
    else if (m_search.inProgress == 1)
        MatchSearchReply(b);
    else if (m_board.active == 1)
        InputBoardLoaderStep(b);
    else if (m_boot.active == 1)
        BootloaderStep(b);
    else
        ParseReplyByte(b);
    return 0;
}

void CLoaderDlg::ParseReplyByte(std::uint8_t b) {
    const int s = m_nRxState;
    if (s == -1) {
        if (b == kReplyHeader) {
            m_reply[0] = b;
            m_nRxState = 0;
        } else if (m_entry.mcuEntry == 1 || m_entry.subMcuEntry == 1 || m_entry.inputEntry == 1) {
            MatchBanner(b);
        }
        return;
    }
    switch (s) {
    case 0:
        if (b == m_devGroup) {
            m_reply[1] = b;
            m_nRxState = 1;
        } else {
            m_nRxState = -1;
        }
        return;
    case 1:
        if (b == m_devMachine) {
            m_reply[2] = b;
            m_nRxState = 2;
        } else {
            m_nRxState = -1;
        }
        return;
    case 2:
        m_reply[3] = b;
        m_nExpectedLength = b;
        m_nRxState = 3;
        return;
    case 3:
        if (b > 0x01) {
            m_nRxState = -1;
            return;
        }
        m_reply[4] = b;
        m_nExpectedLength += b * 256;
        // Too long for the buffer, or too short to hold a code and a
        // checksum: the frame is abandoned here and the next byte is looked
        // at from idle.
        m_nRxState = (m_nExpectedLength > kMaxReplyLength || m_nExpectedLength < kMinReplyLength)
                         ? -1
                         : 4;
        return;
    default:
        break;
    }

    // s >= 4: payload and checksum. The state is shared with the search-reply
    // matcher, so it may arrive here from a search rather than from a length
    // field this parser accepted; anything that would not end inside the
    // accepted frame size is abandoned. Stores therefore stay below index
    // kMaxReplyLength + 5 <= 520.
    const int last = m_nExpectedLength + 3;
    if (s < 4 || m_nExpectedLength < kMinReplyLength || m_nExpectedLength > kMaxReplyLength ||
        s > last) {
        m_nRxState = -1;
        return;
    }
    m_reply[s + 1] = b;
    if (s != last) {
        m_nRxState = s + 1;
        return;
    }

    // Complete: the frame is at indices 0 .. expected length + 4.
    const int size = m_nExpectedLength + 5;
    if (FrameSum(m_reply, static_cast<std::size_t>(size)) != 0) {
        m_nRxState = -1;
        return;
    }
    // A code read from bytes 9 and 10 must lie inside this frame, not in
    // what an earlier frame left in the buffer.
    if (ReplyCodeEnd(m_reply) >= size) {
        m_nRxState = -1;
        return;
    }
    const std::uint16_t code = ReplyCode(m_reply);
    for (const OpcodeEntry& entry : m_opcodes) {
        if (entry.code != code) continue;
        if (code != kCodeAnyConsole &&
            !ConsoleAccepts({m_conGroup, m_conMachine}, m_reply[5], m_reply[6])) {
            m_nRxState = -1;
            return;
        }
        if (entry.handler) (this->*entry.handler)();
        m_nRxState = -1;
        return;
    }
    m_nRxState = -1;
}

} // namespace quillet
