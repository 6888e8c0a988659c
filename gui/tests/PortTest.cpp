// The port display, the COM list and the device search, driven through the
// widgets with the real serial link on pseudo-terminals.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "gui/tests/Wait.h"
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "dialog/LoaderDlg.h"
#include "gui/LoaderWindow.h"
#include "gui/QtHost.h"
#include "serial/PortMap.h"
#include "sim/lib/Simulator.h"

namespace quillet::gui {
namespace {

// A pseudo-terminal pair; the test holds the master side.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    Pty() {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            path = name;
            // The program opens the slave by its path; our copy is not needed.
            close(slave);
            slave = -1;
        }
    }
    ~Pty() {
        if (master >= 0) close(master);
    }
};

struct PortFixture : ::testing::Test {
    std::vector<std::string> boxes;
    void Attach(LoaderWindow& window) {
        window.Host().messageBoxHook = [this](const std::string& text, const std::string&) {
            boxes.push_back(text);
            return IDOK;
        };
    }
    static void Select(LoaderWindow& window, int index) {
        auto* combo = qobject_cast<QComboBox*>(window.Control(1106));
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }
    static QPushButton* Button(LoaderWindow& window, int id) {
        return qobject_cast<QPushButton*>(window.Control(id));
    }
};

TEST_F(PortFixture, ComListTooltipsDescribeTheDevices) {
    const PortMap map = PortMap::FromList("/dev/quillet-none,/dev/null,");
    LoaderWindow window;
    window.Initialise(map);
    auto* combo = qobject_cast<QComboBox*>(window.Control(1106));
    EXPECT_EQ(combo->itemData(0, Qt::ToolTipRole).toString(), "COM1: /dev/quillet-none\nabsent");
    EXPECT_EQ(combo->itemData(1, Qt::ToolTipRole).toString(), "COM2: /dev/null");
    EXPECT_EQ(combo->itemData(2, Qt::ToolTipRole).toString(), "COM3: no device");
}

TEST_F(PortFixture, PortButtonOpensAndClosesThePort) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    const PortMap map = PortMap::FromList(pty.path);
    LoaderWindow window;
    Attach(window);
    window.Initialise(map);

    Button(window, 1006)->click();
    EXPECT_TRUE(boxes.empty()) << boxes.front();
    EXPECT_EQ(Button(window, 1006)->text(), "Close Port");
    EXPECT_EQ(window.Host().PortIcon(), 134);
    EXPECT_TRUE(window.Dialog().Port().IsOpen());

    Button(window, 1006)->click();
    EXPECT_EQ(Button(window, 1006)->text(), "Turn on Port");
    EXPECT_EQ(window.Host().PortIcon(), 133);
    EXPECT_TRUE(test::WaitFor([&] { return !window.Dialog().Port().IsOpen(); }, 3000));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(PortFixture, SelectingPresentAndAbsentComEntries) {
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    const PortMap map = PortMap::FromList("," + pty.path);  // COM1 absent, COM2 the pty
    LoaderWindow window;
    Attach(window);
    window.Initialise(map);
    auto* combo = qobject_cast<QComboBox*>(window.Control(1106));
    EXPECT_TRUE(combo->itemData(1, Qt::ToolTipRole).toString().contains(
        QString::fromStdString(pty.path)));

    Select(window, 1);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(Button(window, 1006)->text(), "Close Port");
    EXPECT_EQ(window.Host().PortIcon(), 134);
    EXPECT_EQ(window.Dialog().PortNumber(), 2u);
    EXPECT_EQ(combo->toolTip(), combo->itemData(1, Qt::ToolTipRole).toString());

    Select(window, 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Can not find this port or used by other application");
    EXPECT_EQ(Button(window, 1006)->text(), "Turn on Port");
    EXPECT_EQ(window.Host().PortIcon(), 133);

    // The empty last entry asks for COM100, which does not exist.
    boxes.clear();
    Select(window, 99);
    EXPECT_EQ(window.Dialog().PortNumber(), 100u);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Can not find this port or used by other application");
    EXPECT_FALSE(window.Dialog().IsPortOpen());
}

TEST_F(PortFixture, EnterInAnEditPressesNoButtonButAFocusedButtonAnswersIt) {
    const PortMap map = PortMap::FromList("");  // no port opens: a press of 1006 shows a box
    LoaderWindow window;
    Attach(window);
    window.Initialise(map);
    window.show();
    auto* slot = qobject_cast<QLineEdit*>(window.Control(1184));
    slot->setFocus();
    QTest::keyClick(slot, Qt::Key_Return);
    QTest::keyClick(slot, Qt::Key_Enter);
    EXPECT_TRUE(boxes.empty()) << boxes.front();
    EXPECT_FALSE(window.Dialog().IsPortOpen());

    Button(window, 1006)->setFocus();
    QTest::keyClick(Button(window, 1006), Qt::Key_Return);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Can not find this port or used by other application");
}

TEST_F(PortFixture, SearchFindsTheSimulatedGeneratorOnCom3) {
    sim::Options options;
    options.kind = kGroupGenerator;
    options.outputDir = ::testing::TempDir();
    sim::Simulator simulator(options);
    const std::string device = simulator.OpenPty();
    ASSERT_FALSE(device.empty());
    simulator.Start();
    const PortMap map = PortMap::FromList(",," + device);  // COM1, COM2 absent

    LoaderWindow window;
    Attach(window);
    window.Initialise(map);
    std::vector<FlowEventInfo> events;
    window.Dialog().SetEventSink([&](const FlowEventInfo& e) { events.push_back(e); });

    Button(window, 1107)->click();
    EXPECT_TRUE(test::WaitFor(
        [&] {
            for (auto& e : events)
                if (e.event == FlowEvent::SearchFound || e.event == FlowEvent::SearchFailed)
                    return true;
            return false;
        },
        10000));
    EXPECT_TRUE(boxes.empty()) << boxes.front();
    EXPECT_EQ(Button(window, 1006)->text(), "Close Port");
    EXPECT_EQ(qobject_cast<QComboBox*>(window.Control(1106))->currentText(), "COM3");
    EXPECT_EQ(window.Host().PortIcon(), 134);
    simulator.Stop();
    const std::vector<std::uint8_t> frame = {0xAA, 0x00, 0x00, 0x05, 0x00,
                                             0x00, 0x00, 0x02, 0xF8, 0x57};
    EXPECT_EQ(simulator.Received(), frame);
}

// An instrument that stops acknowledging after 20 blocks: the Qt dialog
// ends the upload after the flow's time-out with one box naming how far it
// came and what to do, lets go of the note and frees the port.
TEST_F(PortFixture, UploadToAnInstrumentThatStopsAnsweringEndsInOneBox) {
    sim::Options options;
    options.kind = kGroupGenerator;
    options.outputDir = ::testing::TempDir();
    options.eraseTimeMs = 100;
    options.stopAfterBlocks = 20;
    sim::Simulator simulator(options);
    const std::string device = simulator.OpenPty();
    ASSERT_FALSE(device.empty());
    simulator.Start();

    LoaderWindow window;
    Attach(window);
    window.Initialise(PortMap::FromList(device));
    constexpr unsigned kTimeoutMs = 1500;
    window.Dialog().SetFlowTimeout(kTimeoutMs);
    std::vector<FlowEventInfo> events;
    window.Dialog().SetEventSink([&](const FlowEventInfo& e) { events.push_back(e); });
    auto ended = [&] {
        for (auto& e : events)
            if (e.event == FlowEvent::FlowEnded && static_cast<FlowKind>(e.b) != FlowKind::Search) return true;
        return false;
    };

    Button(window, 1107)->click();
    ASSERT_TRUE(test::WaitFor([&] { return window.Dialog().IsPortOpen(); }, 10000));
    window.Host().SetItemText(1184, "2");
    window.Dialog().OnCommand(IDC_NAND_FLASH);  // SG NAND FLASH with the start-up black raster
    ASSERT_TRUE(test::WaitFor(ended, 60000));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("the last acknowledged block is block 19 (20 of 24300 blocks acknowledged)"),
              std::string::npos)
        << boxes[0];
    EXPECT_NE(boxes[0].find("The slot holds a partial pattern: run the upload again."), std::string::npos);
    EXPECT_EQ(window.Host().GetItemText(1168), kNoteStopped);
    EXPECT_NE(window.Host().GetItemText(1183).find("(slot 2)"), std::string::npos);
    EXPECT_EQ(Button(window, 1006)->text(), "Turn on Port");
    EXPECT_FALSE(window.Dialog().CurrentFlow().Running());
    // The port is free: another program (here the test) opens it at once.
    test::WaitFor([] { return false; }, 300);
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    simulator.Stop();
}

} // namespace
} // namespace quillet::gui
