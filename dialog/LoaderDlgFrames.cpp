// CLoaderDlg: the command frames (engine/InstrumentLink builds them) with
// the operator's boxes, and the receive dispatcher that hands every received
// byte to the one consumer of the activity in progress.
#include "dialog/LoaderDlg.h"
#include "protocol/Frame.h"

namespace quillet {

void CLoaderDlg::SendCommand(std::uint16_t code, int count, const std::uint8_t* payload) {
    switch (m_link.SendCommand(code, payload, count)) {
    case InstrumentLink::Command::TooLong: m_host.MessageBox("Too much parameter.", kCaptionConsole); break;
    case InstrumentLink::Command::NotReady: m_host.MessageBox("Com port is not on yet.", kCaptionConsole); break;
    case InstrumentLink::Command::Sent:
    case InstrumentLink::Command::Dropped: break;
    }
}

// The reply table's one entry with a handler of its own: the block
// acknowledgement. Every other known code is taken and dropped.
void CLoaderDlg::OnReply(std::size_t entry, const std::uint8_t* frame) {
    if (entry == kBlockAckEntry) OnBlockAck(frame);
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

// A byte for the reply-frame parser; outside a frame, while a firmware
// entry is under way, every byte but a reply header goes to the banner
// matcher.
void CLoaderDlg::ParseReplyByte(std::uint8_t b) {
    if (!m_link.TakeReplyByte(b) && m_entryFlow.Waiting()) MatchBanner(b);
}

} // namespace quillet
