// Placeholder bodies: being written.
#include "app/LoaderDlg.h"

namespace quillet {

void CLoaderDlg::BootSyncTick() {}
void CLoaderDlg::BootSendTick() {}
void CLoaderDlg::BootTimeoutTick() {}
void CLoaderDlg::BootloaderStep(std::uint8_t) {}

} // namespace quillet
