// The program's headers compile after <windows.h> and agree with its values.
#ifdef _WIN32
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include "dialog/LoaderDlg.h"
#include "serial/SerialLink.h"

namespace quillet {
namespace {

TEST(WindowsHeaders, SystemNamesKeepTheirValues) {
    EXPECT_EQ(WM_USER, 0x0400u);
    EXPECT_EQ(WM_SERIAL_RXCHAR, 0x0407u);
    EXPECT_EQ(WM_SERIAL_WRITE_DONE, 0x0409u);
    EXPECT_EQ(EV_RXCHAR | EV_RXFLAG, 3u);
    EXPECT_EQ(EV_BREAK, 0x40u);
    EXPECT_EQ(EV_RING, 0x100u);
    EXPECT_EQ(IDOK, 1);
    EXPECT_EQ(SW_SHOW, 5);
    EXPECT_EQ(IDC_STATIC, -1);
}

} // namespace
} // namespace quillet
