// Placeholder bodies: being written.
#include "app/LoaderDlg.h"

namespace quillet {

void CLoaderDlg::OnGeneratorFpga() {}
void CLoaderDlg::OnAnalyzerFpga() {}
void CLoaderDlg::OnAuxFpga() {}
int CLoaderDlg::StartBlockStream(int) { return 0; }
void CLoaderDlg::OnBlockAck() {}
int CLoaderDlg::LoadFirmwareFile(const std::string&) { return 0; }

} // namespace quillet
