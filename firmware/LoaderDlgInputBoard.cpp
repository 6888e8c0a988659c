// Placeholder bodies: being written.
#include "app/LoaderDlg.h"

namespace quillet {

void CLoaderDlg::InputBoardLoaderStep(std::uint8_t) {}
void CLoaderDlg::StreamNextChunk() {}

} // namespace quillet
