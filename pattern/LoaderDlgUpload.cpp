// Placeholder bodies: being written.
#include "app/LoaderDlg.h"

namespace quillet {

void CLoaderDlg::OnNandFlash() {}
void CLoaderDlg::OnPanelDataFlash() {}
void CLoaderDlg::EraseWaitByte(std::uint8_t) {}
void CLoaderDlg::EraseWaitTick() {}
void CLoaderDlg::StartPatternStream() {}

} // namespace quillet
