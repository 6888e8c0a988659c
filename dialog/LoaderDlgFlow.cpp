// CLoaderDlg: what is running at a moment, stopping it, and the device that
// went away. The words name the flow and how far it came, so the operator
// (in a box, or in the command line's message) knows what the instrument
// holds and what to do next.
#include "dialog/LoaderDlg.h"
#include "discovery/DeviceKinds.h"

namespace quillet {

FlowSnapshot CLoaderDlg::CurrentFlow() const {
    FlowSnapshot f = m_engine.Running();
    f.percent = m_fProgress;
    return f;
}

// Ends whatever runs: no further byte goes out for it, its timers stop and
// a late answer of the instrument finds nothing to carry on. The port is
// left to the caller.
void CLoaderDlg::StopFlows(bool reportStopped) {
    const FlowSnapshot was = CurrentFlow();
    m_engine.Stop();
    EndStalledExchanges();
    if (was.Running() && reportStopped)
        Report(FlowEvent::FlowStopped, static_cast<long long>(was.kind), 0, was.what);
}

void CLoaderDlg::StopRunningFlow(bool tell) {
    const FlowSnapshot flow = CurrentFlow();
    StopFlows();
    if (Link().Ready() || Link().Port().IsOpen()) ClosePortNow();
    if (flow.writing) {
        m_strStatus = "Stopped at " + FormatProgress(m_fProgress) + " %";
        m_strNote = kNoteStopped;
    }
    m_strSearchStatus = " ";
    UpdateData(false);
    if (!flow.Running()) return;
    const std::string advice = m_engine.AdviceOf(flow.kind);
    const std::string message = flow.what + " stopped " + flow.progress;
    // The operator asked for the stop; what the instrument holds now is
    // worth a box where the flow had written to it.
    const bool box = tell && m_bOutcomeBoxes && flow.writing;
    ReportOutcome(OutcomeKind::Stopped, flow.kind, message, advice, box);
    if (box) m_host.MessageBox(OutcomeText(message, advice), "");
}

void CLoaderDlg::EndFlow(OutcomeKind kind, const std::string& message) {
    const FlowSnapshot was = CurrentFlow();
    StopFlows(false);
    if (Link().Ready() || Link().Port().IsOpen()) ClosePortNow();
    if (was.writing) m_strNote = kNoteStopped;
    const char* what = kind == OutcomeKind::TimedOut ? "Timed out at " : "Failed at ";
    m_strStatus = what + FormatProgress(m_fProgress) + " %";
    if (was.slot > 0 && was.kind != FlowKind::BoardEntry && was.kind != FlowKind::BoardLoader)
        m_strStatus += " (slot " + std::to_string(was.slot) + ")";
    m_strSearchStatus = " ";
    UpdateData(false);
    const std::string advice = m_engine.AdviceOf(was.kind);
    ReportOutcome(kind, was.kind, message, advice, m_bOutcomeBoxes);
    if (m_bOutcomeBoxes) m_host.MessageBox(OutcomeText(message, advice), "");
}

void CLoaderDlg::ReportFlowDone(FlowKind flow, const std::string& message) {
    m_engine.TellDone(flow, message);
}

// ---- controls that would end or replace a flow --------------------------------

bool CLoaderDlg::ConfirmControl(int controlId) {
    switch (controlId) {
    case IDC_PORT_BUTTON:
    case IDC_LOAD_IMAGE:
    case IDC_NAND_FLASH:
    case IDC_PANEL_DATA:
    case IDC_GENERATOR_MCU:
    case IDC_ANALYZER_MCU:
    case IDC_SUB_MCU:
    case IDC_IN1:
    case IDC_IN2:
    case IDC_IN3:
    case IDC_IN4:
    case IDC_ANALYZER_DATA:
    case IDC_GENERATOR_FPGA:
    case IDC_AUX_FPGA:
    case IDC_ANALYZER_FPGA: return ConfirmInterruption();
    case IDC_COM_LIST:
        if (ConfirmInterruption()) return true;
        // The list goes back to the port the upload uses.
        m_host.SetComboSel(IDC_COM_LIST, static_cast<int>(Link().Com()) - 1);
        return false;
    default: return true;
    }
}

bool CLoaderDlg::ConfirmInterruption(bool closing) {
    // A second request while the question is up (a host that lets one
    // through) is refused rather than asked twice.
    if (m_bAskingToStop) return false;
    // A stream whose port the operator has already closed writes nothing
    // more: there is nothing left to interrupt.
    if (!CurrentFlow().writing || !(Link().Ready() || Link().Port().IsOpen())) return true;
    m_bAskingToStop = true;
    const bool stop = m_host.AskYesNo(
        "An upload to the instrument is running (" + FormatProgress(m_fProgress) + " %). Stop it?",
        IHost::AppTitle());
    m_bAskingToStop = false;
    if (!stop) return false;
    // While the question was up the flow went on; it may have ended by now,
    // and then there is nothing to stop but the port.
    StopRunningFlow(!closing);
    return true;
}

void CLoaderDlg::OnSerialLost(unsigned port) {
    // The link has closed the device; the display follows so the operator
    // sees the port closed and can open it again.
    if (port != Link().Com()) return;
    const FlowSnapshot flow = CurrentFlow();
    ShowPortClosed();
    // A port that goes away under the search is passed by like any other.
    if (flow.kind == FlowKind::Search) {
        Report(FlowEvent::PortLost, port);
        return;
    }
    std::string text = m_engine.PortName(port) + " went away";
    if (flow.Running()) text += " during " + flow.what + " " + flow.progress;
    text += ". Reconnect the instrument and ";
    switch (flow.kind) {
    case FlowKind::None: text += "search for it again."; break;
    case FlowKind::McuBootloader:
        text += "update it again; if its MCU stays in the bootloader, enter 101 as the user pattern number first.";
        break;
    case FlowKind::McuEntry:
    case FlowKind::SubMcuEntry:
    case FlowKind::BoardEntry:
    case FlowKind::BoardLoader: text += "update it again."; break;
    default: text += "upload again."; break;
    }
    StopFlows(false);
    if (flow.writing) {
        m_strNote = kNoteStopped;
        UpdateData(false);
    }
    m_host.MessageBox(text, "");
    Report(FlowEvent::PortLost, port, 0, text);
    if (flow.Running())
        // The box above has told which port went away and what to do.
        ReportOutcome(OutcomeKind::DeviceGone, flow.kind, text, m_engine.AdviceOf(flow.kind), true);
}

} // namespace quillet
