// The dialog's side of the main MCU's serial bootloader exchange, whose
// steps are engine/McuBootloaderFlow's (the engine reopens the port at even
// parity before the flow's sync bytes): what the flow's steps leave to
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
    m_fProgress = m_engine.Bootloader().Percent();
    UpdateData(false);
}

// The exchange has ended without a failure: the success note (the engine
// tells the outcome).
void CLoaderDlg::ShowBootSucceeded() {
    m_strNote = kNoteSucceeded;
    UpdateData(false);
}

void CLoaderDlg::ShowBootloaderFailure() {
    m_engine.Bootloader().VerdictTold();
    m_strNote = kNoteFailed;
    UpdateData(false);
    // The dialogs add what to do next to the failure's own words.
    const std::string& failure = m_engine.Bootloader().Failure();
    const std::string advice = m_engine.AdviceOf(FlowKind::McuBootloader);
    // The box tells the failure and what to do; a front end without
    // outcome boxes tells both itself.
    if (m_bOutcomeBoxes) m_host.MessageBox(OutcomeText(failure, advice), kCaptionIspBlank);
    const bool timedOut = m_engine.Bootloader().TimedOut();
    Report(FlowEvent::BootloaderDone, timedOut ? 2 : 0, m_engine.Bootloader().FailureAddress(), failure);
    ReportOutcome(timedOut ? OutcomeKind::TimedOut : OutcomeKind::Failed, FlowKind::McuBootloader, failure, advice,
                  m_bOutcomeBoxes);
}

} // namespace quillet
