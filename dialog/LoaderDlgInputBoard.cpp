// The dialog's side of the flow objects: their link to the port, the host's
// clock, the flow's answer watch and the events; and the end of the
// input-board loader (engine/InputBoardFlow), whose steps are its own.
#include "dialog/LoaderDlg.h"

namespace quillet {

void CLoaderDlg::DialogFlowLink::Send(const std::uint8_t* bytes, std::size_t length) {
    m_dlg.m_port->QueueWrite(bytes, length);
}

void CLoaderDlg::DialogFlowLink::SendToLine(const std::uint8_t* bytes, std::size_t length) {
    m_dlg.m_port->QueueWriteToLine(bytes, length);
}

void CLoaderDlg::DialogFlowLink::SendCommand(std::uint16_t code, const std::uint8_t* payload, int count) {
    m_dlg.SendCommand(code, count, payload);
}

void CLoaderDlg::DialogFlowLink::Pause(unsigned ms) { m_dlg.m_host.Sleep(ms); }

void CLoaderDlg::DialogFlowLink::Answered() { m_dlg.ArmFlowWatch(); }

void CLoaderDlg::DialogFlowLink::Progress(float percent) { m_dlg.m_fProgress = percent; }

void CLoaderDlg::DialogFlowLink::Tell(FlowEvent event, long long a, long long b, const std::string& text) {
    m_dlg.Report(event, a, b, text);
}

void CLoaderDlg::InputBoardFinished() {
    m_host.SetTimer(TIMER_CLOSE, kCloseDelayMs);
    Report(FlowEvent::InputBoardDone);
    ReportFlowDone(FlowKind::BoardLoader, "the update of input board " + std::to_string(m_entry.board) +
                                              ": " + WithThousands(m_stream.size) + " bytes sent");
}

} // namespace quillet
