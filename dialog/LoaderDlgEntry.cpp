// Firmware buttons: the way into boot mode of the main MCU, a sub-MCU or an
// input board (engine/BootEntryFlow: the commands and the banner), the
// hand-over to the bootloader exchange, the outside sub-MCU tool or the
// input-board loader and that loader's end, and the analyzer data flash.
#include "dialog/LoaderDlg.h"
#include "discovery/DeviceKinds.h"
#include "pattern/FileBytes.h"

namespace quillet {
namespace {

// The user pattern number that takes the generator's MCU update straight to
// its bootloader (the instrument already waits in boot mode).
constexpr int kDirectBootPatternNo = 101;
// The keyboard chain code that hands a main-MCU entry on to the sub-MCU
// tool for the keyboard.
constexpr int kKeyboardChainCode = 1099;

constexpr unsigned kUbd00PauseMs = 400;       // from a "UBD 00" line to the answer

} // namespace

// The checks both main-MCU buttons make, in this order: the port, then the
// device kind; then the note. False (after the message) when one fails.
bool CLoaderDlg::PrepareMcuUpdate(const char* noPortCaption, std::uint8_t group) {
    if (!CheckPortOpen(noPortCaption) || !CheckDeviceKind(group)) return false;
    // The image is checked before the instrument is asked into boot mode:
    // without one it would be left waiting in its bootloader.
    if (!CheckFirmwareFile(DataFile(McuImageName()), kMcuImageFile)) return false;
    // The bootloader listens at even parity: a port that cannot carry it (a
    // pseudo-terminal, a raw TCP port, a server that refuses it) stops the
    // update before the instrument is asked into boot mode.
    if (const std::string problem = Link().Port().ParityProblem('E'); !problem.empty()) {
        m_host.MessageBox("The MCU update needs even parity, but " + problem + ". Nothing was sent.", noPortCaption);
        return false;
    }
    m_engine.EndExchanges();
    ShowNote(kNoteUpdating);
    return true;
}

void CLoaderDlg::OnGeneratorMcu() {
    // Pattern number 101 chooses the direct path: a field that does not read
    // as a number stops here, after its box, rather than go on with the
    // number read before.
    if (!UpdateData(true)) return;
    McuUpdate update;
    update.direct = m_nPatternNo == kDirectBootPatternNo;
    UpdateMainMcu(update);
}

void CLoaderDlg::OnAnalyzerMcu() {
    McuUpdate update;
    update.analyzer = true;
    UpdateMainMcu(update);
}

void CLoaderDlg::UpdateMainMcu(const McuUpdate& update) {
    // Only the generator has the direct path.
    const bool direct = update.direct && !update.analyzer;
    if (direct) {
        m_nPatternNo = kDirectBootPatternNo;
        Link().Device().group = kGroupGenerator;
    }
    if (!PrepareMcuUpdate(update.analyzer ? kCaptionIspBlank : kCaptionIsp,
                          update.analyzer ? kGroupAnalyzer : kGroupGenerator))
        return;
    m_engine.Bootloader().Options() = update.exchange;
    if (direct) {
        // The instrument is taken to be in boot mode already.
        m_engine.Entry().TakeMainMcuInBootMode();
        StartMcuBootloader();
    } else {
        m_engine.EnterMainMcu();
    }
}

void CLoaderDlg::OnSubMcu() {
    EnterSubMcu(m_host.GetComboSel(IDC_MCU_LIST));
}

void CLoaderDlg::EnterSubMcu(int sel) {
    if (!CheckPortOpen(kCaptionIspBlank)) return;
    if (sel < 0 || sel > BootEntryFlow::kLastSubMcu) {
        m_host.MessageBox("Please select a MCU first!", kCaptionIsp);
        return;
    }
    m_engine.EndExchanges();
    m_engine.EnterSubMcu(sel);
}

void CLoaderDlg::OnInputBoardFirmware(int board) {
    UpdateInputBoard(board, std::nullopt);
}

void CLoaderDlg::UpdateInputBoard(int board, const std::optional<std::string>& file) {
    if (!CheckPortOpen(kCaptionIspBlank)) return;
    // A cancelled dialog, a file that cannot be used or an empty one sends
    // nothing: the board is not restarted and no old buffer is streamed.
    SharedBytes bytes = ChooseStreamFile(kBoardImageFile, file);
    if (!bytes) return;
    m_engine.EndExchanges();
    m_engine.UpdateInputBoard(board, std::move(bytes));
}

void CLoaderDlg::OnAnalyzerDataFlash() {
    WriteAnalyzerData(std::nullopt);
}

void CLoaderDlg::WriteAnalyzerData(const std::optional<std::string>& file) {
    // The analyzer's block acknowledgements must pass the address check.
    Link().Device().group = kGroupAnalyzer;
    Link().Device().machine = 0;
    if (!CheckPortOpen(kCaptionIsp)) return;
    UpdateData(true);
    SharedBytes bytes = ChooseStreamFile(kBlockImageFile, file);
    if (!bytes) return;
    m_engine.EndExchanges();
    ShowFirstBlock(m_engine.WriteAnalyzerData(std::move(bytes)));
}

const char* CLoaderDlg::McuImageName() const {
    return Link().Device().group == kGroupAnalyzer ? kAnalyzerMcuImage : kGeneratorMcuImage;
}

void CLoaderDlg::StartMcuBootloader() {
    std::string why;
    SharedBytes image = ReadFirmwareFile(DataFile(McuImageName()), kMcuImageFile, why);
    if (!image) {
        // The image was checked at the button but is gone now: the MCU waits
        // in its bootloader with nothing to write. The update ends failed,
        // its box says why and the way back in.
        m_engine.EndFlow(OutcomeKind::Failed, why);
        return;
    }
    m_strStatus = "Please wait...";
    m_engine.UpdateMainMcu(std::move(image));
}

void CLoaderDlg::BannerHeard(BootEntryFlow::Banner banner) {
    switch (banner) {
    case BootEntryFlow::Banner::None:
    case BootEntryFlow::Banner::InputBoard: return;  // the engine has handed over to the board's loader
    case BootEntryFlow::Banner::IspMode: StartMcuBootloader(); return;  // a sub-MCU's went to the outside tool
    case BootEntryFlow::Banner::Ubd00: break;
    }
    m_host.Sleep(kUbd00PauseMs);
    UpdateData(true);
    if (m_nKeyboardChain != kKeyboardChainCode) {
        m_engine.Entry().SendIspEntry();
        return;
    }
    m_host.MessageBox(
        "Next step is to update SUB MCU firmware! Be sure to load the firmware which is for  KEY BOARD",
        kCaptionIsp);
    m_nKeyboardChain = 0;
    m_engine.HandOverToSubMcuTool();
    UpdateData(false);
}

bool CLoaderDlg::ToolNotStarted(const std::string& problem) {
    m_host.MessageBox(problem, kCaptionIsp);
    return true;
}

} // namespace quillet
