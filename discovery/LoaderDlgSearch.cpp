// Placeholder bodies: being written.
#include "app/LoaderDlg.h"

namespace quillet {

void CLoaderDlg::StartDeviceSearch(std::uint8_t) {}
void CLoaderDlg::MatchSearchReply(std::uint8_t) {}
void CLoaderDlg::ScanNextPort() {}

} // namespace quillet
