// The dialog's side of the main MCU's serial bootloader exchange, whose
// steps are engine/McuBootloaderFlow's: timer 8 reopens the port at even
// parity before the flow's sync bytes, and what the flow's steps leave to
// show (the percentage field, the notes, the failure's box, the port's
// close and the flow's one outcome) is shown here.
#include "dialog/LoaderDlg.h"

namespace quillet {
namespace {

constexpr const char* kNoteSucceeded =
    "Note: Succeed to update \r\nMCU firmware. Disconnect\r\n USB cable and re-power!";
constexpr const char* kNoteFailed =
    "Note: Failed to update \r\nMCU firmware. Turn on the\r\n port and update again!";

} // namespace

void CLoaderDlg::BootloaderStep(std::uint8_t b) { ShowBootStep(m_bootFlow.OnByte(b)); }

void CLoaderDlg::BootTick(FlowTimer timer) {
    // The port was closed for the exchange: the first tick of timer 8
    // reopens it at even parity. Testing the parity alone would leave the
    // port closed when an earlier update had already set 'E', and the sync
    // bytes would go nowhere for good. A failed reopen is not tried again.
    if (timer == FlowTimer::BootSync && !m_bootFlow.Active() && (m_link.Line().parity == 'N' || m_bBootReopen)) {
        m_bBootReopen = false;
        m_link.Line().parity = 'E';
        OpenPortWithSettings(m_link.Com(), 'E');
        return;
    }
    ShowBootStep(m_bootFlow.OnTimer(timer));
}

void CLoaderDlg::ShowBootStep(McuBootloaderFlow::Step step) {
    using Step = McuBootloaderFlow::Step;
    switch (step) {
    case Step::None: break;
    case Step::Erase: m_strStatus = " "; break;
    case Step::Progress: ShowBootProgress(); break;
    case Step::LastPieceSent: UpdateData(false); break;
    case Step::Done:
        ShowBootProgress();
        ShowBootSucceeded();
        break;
    case Step::Verified: ShowBootSucceeded(); break;
    case Step::Failed:
        ClosePortNow();
        ShowBootloaderFailure();
        break;
    case Step::Closed: ClosePortNow(); break;
    }
}

void CLoaderDlg::ShowBootProgress() {
    m_fProgress = m_bootFlow.Percent();
    UpdateData(false);
}

// The exchange has ended without a failure: the success note.
void CLoaderDlg::ShowBootSucceeded() {
    m_strNote = kNoteSucceeded;
    UpdateData(false);
    Report(FlowEvent::BootloaderDone, 1);
    ReportFlowDone(FlowKind::McuBootloader, "the main-MCU update: every piece acknowledged");
}

void CLoaderDlg::ShowBootloaderFailure() {
    m_bootFlow.VerdictTold();
    m_strNote = kNoteFailed;
    UpdateData(false);
    // The dialogs add what to do next to the failure's own words.
    const std::string& failure = m_bootFlow.Failure();
    const std::string advice = AdviceOf(FlowKind::McuBootloader);
    m_host.MessageBox(m_bOutcomeBoxes ? OutcomeText(failure, advice) : failure, kCaptionIspBlank);
    const bool timedOut = m_bootFlow.TimedOut();
    Report(FlowEvent::BootloaderDone, timedOut ? 2 : 0, m_bootFlow.FailureAddress(), failure);
    // The box above is the operator's (with the advice where outcome boxes are on).
    ReportOutcome(timedOut ? OutcomeKind::TimedOut : OutcomeKind::Failed, FlowKind::McuBootloader, failure, advice,
                  true);
}

} // namespace quillet
