// "SG NAND FLASH" (the user pattern into slot 1..4, after the slot command
// and the "cnd 12" wait, engine/EraseWaitFlow) and the panel data of the
// front-panel display.
#include <algorithm>
#include <cstring>

#include "dialog/LoaderDlg.h"
#include "discovery/DeviceKinds.h"

namespace quillet {

namespace {

constexpr const char* kMsgPatternRange = "User pattern number should be 1~4 !";
constexpr const char* kMsgSearchFirst = "Please turn on the COM port first by searching device!";
constexpr const char* kNoteNand = "Note: While programming \r\n data flash ,please \r\n do not press any button!";
constexpr const char* kNotePanel = "Note: While programming data flash, please \r\n do not press any button!";
// Once the instrument has acknowledged the last block of the upload.
constexpr const char* kNoteStored = "Note: The upload is \r\n complete. You may \r\n press any button.";
} // namespace

// The checks both upload buttons make first, in this order: the slot
// field reads as a number, the slot number, then the port. False (after
// the one message) when one fails.
bool CLoaderDlg::CheckSlotAndPort(bool readField) {
    m_engine.EndExchanges();
    // A slot field that does not read as a number ("x", nothing) has had its
    // box; the slot read before is not the operator's choice now.
    if (readField && !UpdateData(true)) return false;
    if (m_nPatternNo < 1 || m_nPatternNo > 4) {
        m_host.MessageBox(kMsgPatternRange, kCaptionIsp);
        return false;
    }
    if (!Link().Ready()) {
        m_host.MessageBox(kMsgSearchFirst, kCaptionIspBlank);
        return false;
    }
    return true;
}

void CLoaderDlg::OnNandFlash() {
    StoreUserPattern(0, true);
}

void CLoaderDlg::StorePattern(int slot) {
    StoreUserPattern(slot, false);
}

// The raster an upload sends: the one of the last accepted import (shared,
// not copied), else black.
SharedBytes CLoaderDlg::Raster() {
    if (!m_raster) m_raster = std::make_shared<const std::vector<std::uint8_t>>(kRasterBytes, std::uint8_t{0});
    return m_raster;
}

void CLoaderDlg::StoreUserPattern(int slot, bool fromField) {
    if (!fromField) m_nPatternNo = slot;
    if (!CheckSlotAndPort(fromField)) return;
    RememberSlot();
    m_strNote = kNoteNand;
    // The percentage of an earlier upload does not stand for this one.
    m_fProgress = 0;
    m_engine.StorePattern(m_nPatternNo, Raster());
    m_strStatus = "Erasing.";
    UpdateData(false);
}

void CLoaderDlg::EraseConfirmed() {
    m_strStatus = " ";
    UpdateData(false);
    UpdateData(true);
}

void CLoaderDlg::EraseTicked(EraseWaitFlow::Tick tick) {
    switch (tick) {
    case EraseWaitFlow::Tick::Idle:
    case EraseWaitFlow::Tick::TimedOut: return;  // the engine ends the upload
    case EraseWaitFlow::Tick::Waiting: break;
    }
    static constexpr const char* kFrames[4] = {"Erasing....", "Erasing.", "Erasing..", "Erasing..."};
    m_strStatus = kFrames[m_engine.EraseWait().Ticks() % 4];
    UpdateData(false);
}

void CLoaderDlg::ShowUploadStored() {
    const StreamState& st = m_engine.StreamData();
    if (st.kindPattern) {
        m_strStatus = "User pattern stored in slot " + std::to_string(st.slot) + ".";
    } else if (st.kindPanel && st.firstBlock >= kPanelBlockBase + kPanelBlocksPerSlot) {
        m_strStatus = "Panel image stored in slot " + std::to_string(st.slot) + ".";
    } else {
        return;  // FPGA images and the analyzer data keep their notes
    }
    m_strNote = kNoteStored;
    UpdateData(false);
}

void CLoaderDlg::OnPanelDataFlash() {
    StorePanelImage(0, true);
}

void CLoaderDlg::StorePanel(int slot) {
    StorePanelImage(slot, false);
}

void CLoaderDlg::StorePanelImage(int slot, bool fromField) {
    if (!fromField) m_nPatternNo = slot;
    if (!CheckSlotAndPort(fromField)) return;
    if (!CheckDeviceKind(kGroupGenerator)) return;
    if (fromField && !UpdateData(true)) return;
    RememberSlot();
    // The new upload starts from 0 % and without the last one's outcome.
    m_fProgress = 0;
    m_strStatus = " ";
    ShowNote(kNotePanel);

    ShowFirstBlock(m_engine.StorePanel(m_nPatternNo, m_images.panel));
}

} // namespace quillet
