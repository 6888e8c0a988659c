// Placeholder bodies: being written.
#include "app/LoaderDlg.h"

namespace quillet {

void CLoaderDlg::OnGeneratorMcu() {}
void CLoaderDlg::OnAnalyzerMcu() {}
void CLoaderDlg::OnSubMcu() {}
void CLoaderDlg::OnInputBoardFirmware(int) {}
void CLoaderDlg::OnAnalyzerDataFlash() {}
void CLoaderDlg::StartMcuBootloader() {}
void CLoaderDlg::MatchBanner(std::uint8_t) {}
void CLoaderDlg::EndStalledExchanges() {}

} // namespace quillet
