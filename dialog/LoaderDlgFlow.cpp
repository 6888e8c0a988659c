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

void CLoaderDlg::StopRunningFlow(bool tell) { m_engine.StopFlow(!tell); }

// ---- the end of a flow that did not end well, on the screen --------------------

bool CLoaderDlg::FlowEnded(const FlowEnd& end) {
    switch (end.kind) {
    case OutcomeKind::Stopped: return ShowStopped(end);
    case OutcomeKind::DeviceGone: return ShowDeviceGone(end);
    case OutcomeKind::Failed:
    case OutcomeKind::TimedOut:
        if (end.was.kind == FlowKind::McuBootloader) return ShowBootloaderFailure(end);
        return ShowFlowFailed(end);
    case OutcomeKind::Done: break;
    }
    return false;
}

// The operator asked for the stop; what the instrument holds now is worth a
// box where the flow had written to it.
bool CLoaderDlg::ShowStopped(const FlowEnd& end) {
    if (PortInUse()) ClosePortNow();
    if (end.was.writing) {
        m_strStatus = "Stopped at " + FormatProgress(m_fProgress) + " %";
        m_strNote = kNoteStopped;
    }
    m_strSearchStatus = " ";
    UpdateData(false);
    const bool box = !end.closing && m_bOutcomeBoxes && end.was.writing;
    if (box) m_host.MessageBox(OutcomeText(end.message, end.advice), "");
    return box;
}

// The port is given up, the note lets go, the status line says what
// happened and the operator reads the message and the advice.
bool CLoaderDlg::ShowFlowFailed(const FlowEnd& end) {
    if (PortInUse()) ClosePortNow();
    if (end.was.writing) m_strNote = kNoteStopped;
    const char* what = end.kind == OutcomeKind::TimedOut ? "Timed out at " : "Failed at ";
    m_strStatus = what + FormatProgress(m_fProgress) + " %";
    if (end.was.slot > 0 && end.was.kind != FlowKind::BoardEntry && end.was.kind != FlowKind::BoardLoader)
        m_strStatus += " (slot " + std::to_string(end.was.slot) + ")";
    m_strSearchStatus = " ";
    UpdateData(false);
    if (m_bOutcomeBoxes) m_host.MessageBox(OutcomeText(end.message, end.advice), "");
    return m_bOutcomeBoxes;
}

// The link has closed the device already; the box says which port went
// away and what to do.
bool CLoaderDlg::ShowDeviceGone(const FlowEnd& end) {
    if (end.was.writing) {
        m_strNote = kNoteStopped;
        UpdateData(false);
    }
    m_host.MessageBox(end.message, "");
    return true;
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
    if (!CurrentFlow().writing || !PortInUse()) return true;
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

void CLoaderDlg::OnSerialLost(unsigned port) { m_engine.PortLost(port); }

} // namespace quillet
