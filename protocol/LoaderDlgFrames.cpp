// Placeholder bodies: being written.
#include "app/LoaderDlg.h"

namespace quillet {

void CLoaderDlg::SendCommand(std::uint16_t, int, const std::uint8_t*) {}
long CLoaderDlg::OnSerialRxChar(std::uintptr_t, std::intptr_t) { return 0; }
void CLoaderDlg::ParseReplyByte(std::uint8_t) {}
void CLoaderDlg::OnEmptyOpcode() {}
void CLoaderDlg::FillOpcodeTable() {}

} // namespace quillet
