// The end of a main-MCU exchange that failed: failure note, message box
// naming the first part the bootloader did not acknowledge, and the report.
#pragma once

namespace quillet {

class CLoaderDlg;

void ShowBootloaderFailure(CLoaderDlg& dlg);

} // namespace quillet
