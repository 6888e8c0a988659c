// The dialog after start, data exchange, system commands, port control and
// the timer dispatch, on the virtual clock with a recording port.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "dialog/LoaderDlg.h"
#include "platform/VirtualHost.h"
#include "support/FakeSerialPort.h"
#include "support/DialogProbe.h"
#include "support/EngineRig.h"
#include "support/Portable.h"

namespace quillet {
namespace {

struct DialogFixture : ::testing::Test {
    VirtualHost host;
    test::FakeSerialPort port;
    CLoaderDlg dlg{host, &port};
    std::filesystem::path dir;
    void SetUp() override { dlg.OnInitDialog(); }
    void TearDown() override {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
    // The line left at even parity as a main-MCU update leaves it: the
    // update straight into the bootloader reopens the port at even parity
    // at its first sync tick; the operator stops it there. What the port
    // and the host recorded of it is forgotten.
    void LeaveEvenParity() {
        dir = test::MakeScratchDir("dialog");
        std::ofstream(dir / "GENERATOR_MCU.bin", std::ios::binary) << std::string(1024, '\xEE');
        dlg.SetDataFolder(dir.string());
        dlg.OnPortButton();
        McuUpdate direct;
        direct.direct = true;
        dlg.UpdateMainMcu(direct);
        host.Advance(1000);
        ASSERT_FALSE(port.opens.empty());
        ASSERT_EQ(port.opens.back().parity, 'E');
        dlg.StopRunningFlow();
        ASSERT_FALSE(dlg.IsPortOpen());
        port.opens.clear();
        port.writes.clear();
        port.monitorStarts = 0;
        port.closeRequests = 0;
        host.boxes.clear();
    }
};

TEST_F(DialogFixture, StartStateShowsDefaults) {
    EXPECT_EQ(host.GetItemText(IDC_NOTE), "Note: Only for user \r\n define pattern\r\n uploading !");
    EXPECT_EQ(host.GetItemText(IDC_SEARCH_STATUS), " ");
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), "0");
    EXPECT_EQ(host.GetItemText(IDC_PATTERN_NO), "0");
    EXPECT_EQ(host.portIcon, IDI_PORT_CLOSED);
    EXPECT_EQ(host.GetComboSel(IDC_COM_LIST), 0);
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_TRUE(!test::Probe(dlg).Raster());  // allocated only when a flow needs it
    EXPECT_TRUE(port.opens.empty());
    // The line's settings, as a port chosen in the list opens with them
    // (the list keeps the parity).
    dlg.OnPortListSelect();
    ASSERT_EQ(port.opens.size(), 1u);
    EXPECT_EQ(port.opens[0].port, 1u);
    EXPECT_EQ(port.opens[0].baud, 115200u);
    EXPECT_EQ(port.opens[0].parity, 'N');
    EXPECT_EQ(port.opens[0].eventMask, 3u);
    // The reply parser starts idle: the first acknowledgement of a panel
    // upload is taken whole and carries it on.
    dlg.StorePanel(1);
    ASSERT_EQ(port.writes.size(), 1u);
    port.Receive(test::BlockAck());
    EXPECT_EQ(port.writes.size(), 2u);
}

TEST_F(DialogFixture, SystemCommandsOfTheAboutItem) {
    for (unsigned id = 0x0010; id <= 0x001F; ++id) dlg.OnSysCommand(id);
    EXPECT_EQ(host.aboutShown, 16);
    dlg.OnSysCommand(0x0020);
    dlg.OnSysCommand(0xF060);  // SC_CLOSE
    dlg.OnSysCommand(0x000F);
    EXPECT_EQ(host.aboutShown, 16);
}

TEST_F(DialogFixture, UpdateDataReadsIntegersAndRefusesText) {
    host.texts[IDC_PATTERN_NO] = " 3 ";
    ASSERT_TRUE(dlg.UpdateData(true));
    dlg.UpdateData(false);  // the number read, back in the field
    EXPECT_EQ(host.GetItemText(IDC_PATTERN_NO), "3");
    host.texts[IDC_PATTERN_NO] = "3x";
    EXPECT_FALSE(dlg.UpdateData(true));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Please enter an integer.");
    dlg.UpdateData(false);
    EXPECT_EQ(host.GetItemText(IDC_PATTERN_NO), "3");
    host.texts[IDC_PATTERN_NO] = "";
    EXPECT_FALSE(dlg.UpdateData(true));
}

TEST(FormatProgressTest, SixSignificantDigits) {
    EXPECT_EQ(FormatProgress(0.0f), "0");
    EXPECT_EQ(FormatProgress(100.0f), "100");
    EXPECT_EQ(FormatProgress(99.609375f), "99.6094");
    EXPECT_EQ(FormatProgress(256.0f / 300.0f * 100.0f), "85.3333");
}

TEST_F(DialogFixture, PortButtonOpensAtNoParityAndCloses) {
    LeaveEvenParity();
    dlg.OnPortButton();
    ASSERT_EQ(port.opens.size(), 1u);
    EXPECT_EQ(port.opens[0].port, 1u);
    EXPECT_EQ(port.opens[0].parity, 'N');
    EXPECT_EQ(port.opens[0].bufferSize, 512u);
    EXPECT_EQ(port.monitorStarts, 1);
    EXPECT_EQ(host.GetItemText(IDC_PORT_BUTTON), "Close Port");
    EXPECT_EQ(host.portIcon, IDI_PORT_OPEN);
    dlg.OnPortButton();
    EXPECT_EQ(port.closeRequests, 1);
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_EQ(host.GetItemText(IDC_PORT_BUTTON), "Turn on Port");
    EXPECT_EQ(host.portIcon, IDI_PORT_CLOSED);
    dlg.OnPortButton();
    EXPECT_EQ(port.opens.size(), 2u);
    EXPECT_TRUE(dlg.IsPortOpen());
}

TEST_F(DialogFixture, PortButtonOnAbsentPortSaysSo) {
    port.present.clear();
    dlg.OnPortButton();
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Can not find this port or used by other application");
    EXPECT_EQ(host.boxes[0].caption, IHost::AppTitle());
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_EQ(host.GetItemText(IDC_PORT_BUTTON), "Turn on Port");
}

TEST_F(DialogFixture, ComListSelectsAndKeepsParity) {
    LeaveEvenParity();
    port.present = {1, 4};
    host.comboSel[IDC_COM_LIST] = 3;
    dlg.OnPortListSelect();
    ASSERT_EQ(port.opens.size(), 1u);
    EXPECT_EQ(port.opens[0].port, 4u);
    EXPECT_EQ(port.opens[0].parity, 'E');
    EXPECT_EQ(host.GetItemText(IDC_PORT_BUTTON), "Close Port");
    // Another entry while open: the old port is closed, the new one opened.
    host.comboSel[IDC_COM_LIST] = 0;
    dlg.OnPortListSelect();
    EXPECT_EQ(port.closeRequests, 1);
    EXPECT_EQ(port.current, 1u);
    EXPECT_TRUE(dlg.IsPortOpen());
    // The empty last entry asks for COM100, which does not exist.
    host.comboSel[IDC_COM_LIST] = 99;
    dlg.OnPortListSelect();
    EXPECT_EQ(port.opens.back().port, 100u);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Can not find this port or used by other application");
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_EQ(host.GetItemText(IDC_PORT_BUTTON), "Turn on Port");
}

TEST_F(DialogFixture, TimerFiveArmedTwiceClosesOnceAfterTheLaterArm) {
    dlg.OnPortButton();
    host.SetTimer(TIMER_CLOSE, 1000);
    host.Advance(600);
    host.SetTimer(TIMER_CLOSE, 1000);
    host.Advance(999);
    EXPECT_EQ(port.closeRequests, 0);
    host.Advance(1);
    EXPECT_EQ(port.closeRequests, 1);
    EXPECT_EQ(host.ticks.back().at, 1600u);
    EXPECT_FALSE(host.IsTimerArmed(TIMER_CLOSE));
    host.Advance(5000);
    EXPECT_EQ(port.closeRequests, 1);
    // The close sleeps 50 ms on the GUI thread.
    ASSERT_FALSE(host.sleeps.empty());
    EXPECT_EQ(host.sleeps.back().second, 50u);
}

TEST_F(DialogFixture, WriteDoneWithoutBoardStreamChangesNothing) {
    dlg.OnPortButton();
    EXPECT_EQ(dlg.OnSerialMessage(WM_SERIAL_WRITE_DONE, 0, 1), 0);
    EXPECT_TRUE(port.writes.empty());
    EXPECT_TRUE(host.sleeps.empty());
}

TEST_F(DialogFixture, LostDeviceShowsThePortClosed) {
    dlg.OnPortButton();
    dlg.OnSerialMessage(WM_SERIAL_LOST, 0, 1);
    EXPECT_FALSE(dlg.IsPortOpen());
    EXPECT_EQ(host.GetItemText(IDC_PORT_BUTTON), "Turn on Port");
    EXPECT_EQ(host.portIcon, IDI_PORT_CLOSED);
    dlg.OnPortButton();  // and it can be opened again
    EXPECT_TRUE(dlg.IsPortOpen());
}

TEST_F(DialogFixture, CloseFreesTheStreamBufferAndEnds) {
    dlg.OnClose();
    EXPECT_TRUE(test::Probe(dlg).Stream().Bytes().empty());
    EXPECT_TRUE(host.ended);
}

} // namespace
} // namespace quillet
