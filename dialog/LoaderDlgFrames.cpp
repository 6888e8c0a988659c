// CLoaderDlg: the command frames (the engine's link builds them) with the
// operator's boxes, and the received bytes, which the engine hands to the
// one consumer of the activity in progress (the block acknowledgement
// comes back as the stream's step, LoaderDlgStream.cpp).
#include "dialog/LoaderDlg.h"
#include "protocol/Frame.h"

namespace quillet {

void CLoaderDlg::SendCommand(std::uint16_t code, int count, const std::uint8_t* payload) {
    m_engine.SendCommand(code, payload, count);
}

void CLoaderDlg::CommandRefused(InstrumentLink::Command why) {
    if (why == InstrumentLink::Command::TooLong) m_host.MessageBox("Too much parameter.", kCaptionConsole);
    if (why == InstrumentLink::Command::NotReady) m_host.MessageBox("Com port is not on yet.", kCaptionConsole);
}

long CLoaderDlg::OnSerialRxChar(std::uintptr_t wParam, std::intptr_t lParam) {
    if (lParam < 1 || lParam > 99) return -1;
    m_engine.OnByte(static_cast<std::uint8_t>(wParam & 0xFF));
    return 0;
}

} // namespace quillet
