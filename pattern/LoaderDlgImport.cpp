// Placeholder bodies: being written.
#include "app/LoaderDlg.h"

namespace quillet {

void CLoaderDlg::OnLoadImage() {}
void CLoaderDlg::ImportPatternImage() {}
void CLoaderDlg::DrawPreview() {}

} // namespace quillet
