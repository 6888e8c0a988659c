// The dialog after start, data exchange, system commands, port control and
// the timer dispatch, on the virtual clock with a recording port.
#include <gtest/gtest.h>

#include "dialog/LoaderDlg.h"
#include "platform/VirtualHost.h"
#include "support/FakeSerialPort.h"
#include "support/DialogProbe.h"

namespace quillet {
namespace {

struct DialogFixture : ::testing::Test {
    VirtualHost host;
    test::FakeSerialPort port;
    CLoaderDlg dlg{host, &port};
    void SetUp() override { dlg.OnInitDialog(); }
};

TEST_F(DialogFixture, StartStateShowsDefaults) {
    EXPECT_EQ(host.GetItemText(IDC_NOTE), "Note: Only for user \r\n define pattern\r\n uploading !");
    EXPECT_EQ(host.GetItemText(IDC_SEARCH_STATUS), " ");
    EXPECT_EQ(host.GetItemText(IDC_PROGRESS), "0");
    EXPECT_EQ(host.GetItemText(IDC_PATTERN_NO), "0");
    EXPECT_EQ(host.portIcon, IDI_PORT_CLOSED);
    EXPECT_EQ(host.GetComboSel(IDC_COM_LIST), 0);
    const InstrumentLink& link = test::Probe(dlg).Link();
    EXPECT_EQ(link.Line().baud, 115200u);
    EXPECT_EQ(link.Line().parity, 'N');
    EXPECT_EQ(link.Line().eventMask, 3u);
    EXPECT_EQ(link.ReceiveState(), -1);
    EXPECT_FALSE(link.Ready());
    EXPECT_TRUE(!test::Probe(dlg).Raster());  // allocated only when a flow needs it
    EXPECT_TRUE(port.opens.empty());
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
    EXPECT_EQ(test::Probe(dlg).PatternNo(), 3);
    host.texts[IDC_PATTERN_NO] = "3x";
    EXPECT_FALSE(dlg.UpdateData(true));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Please enter an integer.");
    EXPECT_EQ(test::Probe(dlg).PatternNo(), 3);
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
    test::Probe(dlg).Parity() = 'E';
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
    port.present = {1, 4};
    test::Probe(dlg).Parity() = 'E';
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
