// The dialog's side of the flow objects: their link to the port, the host's
// clock and timers, the flow's answer watch and the events; and the end of
// the input-board loader (engine/InputBoardFlow), whose steps are its own.
#include "dialog/LoaderDlg.h"

namespace quillet {
namespace {

// The dialog's timer of each flow timer, in FlowTimer's order.
constexpr unsigned kFlowTimerIds[kFlowTimerCount] = {TIMER_BOOT_SYNC, TIMER_BOOT_SEND, TIMER_BOOT_TIMEOUT,
                                                     TIMER_BOOT_SILENCE, TIMER_SCAN};

unsigned TimerIdOf(FlowTimer timer) { return kFlowTimerIds[static_cast<unsigned>(timer)]; }

} // namespace

void CLoaderDlg::DialogFlowLink::Send(const std::uint8_t* bytes, std::size_t length) {
    m_dlg.m_link.Port().QueueWrite(bytes, length);
}

void CLoaderDlg::DialogFlowLink::SendToLine(const std::uint8_t* bytes, std::size_t length) {
    m_dlg.m_link.Port().QueueWriteToLine(bytes, length);
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

void CLoaderDlg::DialogFlowLink::StartTimer(FlowTimer timer, unsigned ms) { m_dlg.m_host.SetTimer(TimerIdOf(timer), ms); }

void CLoaderDlg::DialogFlowLink::StopTimer(FlowTimer timer) { m_dlg.m_host.KillTimer(TimerIdOf(timer)); }

bool CLoaderDlg::OnFlowTimer(unsigned id) {
    for (unsigned i = 0; i < kFlowTimerCount; ++i) {
        if (kFlowTimerIds[i] != id) continue;
        const auto timer = static_cast<FlowTimer>(i);
        timer == FlowTimer::SearchScan ? ScanNextPort() : BootTick(timer);
        return true;
    }
    return false;
}

void CLoaderDlg::InputBoardFinished() {
    m_host.SetTimer(TIMER_CLOSE, kCloseDelayMs);
    Report(FlowEvent::InputBoardDone);
    ReportFlowDone(FlowKind::BoardLoader, "the update of input board " + std::to_string(m_entry.board) +
                                              ": " + WithThousands(m_stream.size) + " bytes sent");
}

} // namespace quillet
