// The dialog's side of the main MCU's serial bootloader exchange, whose
// steps are engine/McuBootloaderFlow's (the engine reopens the port at even
// parity before the flow's sync bytes): what the flow's steps leave to
// show (the percentage field, the notes and the failure's box) is shown
// here.
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
    case Step::Failed:  // the engine has closed the port and tells the failure next
    case Step::Closed: break;
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

// The dialogs add what to do next to the failure's own words; a front end
// without outcome boxes tells both itself.
bool CLoaderDlg::ShowBootloaderFailure(const FlowEnd& end) {
    m_strNote = kNoteFailed;
    UpdateData(false);
    if (m_bOutcomeBoxes) m_host.MessageBox(OutcomeText(end.message, end.advice), kCaptionIspBlank);
    return m_bOutcomeBoxes;
}

} // namespace quillet
