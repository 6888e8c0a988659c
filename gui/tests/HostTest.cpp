// The Qt host: timers, posted work, boxes from other threads, the controls
// by id, the preview painting, and the helpers of the front end.
#include <QComboBox>
#include <QElapsedTimer>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include "gui/tests/Wait.h"
#include <QThread>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "dialog/LoaderDlg.h"
#include "gui/GuiSupport.h"
#include "gui/LoaderWindow.h"
#include "gui/QtHost.h"
#include "tests/support/DialogProbe.h"
#include "tests/support/FakeSerialPort.h"

namespace quillet::gui {
namespace {

struct HostFixture : ::testing::Test {
    LoaderWindow window;
    QtHost& host = window.Host();
    std::vector<std::pair<unsigned, qint64>> ticks;
    QElapsedTimer clock;
    void SetUp() override {
        clock.start();
        host.SetTimerCallback([this](unsigned id) { ticks.emplace_back(id, clock.elapsed()); });
    }
};

TEST_F(HostFixture, TimerTicksRepeatAndRearmingStartsOver) {
    host.SetTimer(4, 40);
    EXPECT_TRUE(test::WaitFor([&] { return ticks.size() >= 3; }, 5000));  // it keeps ticking
    for (auto& t : ticks) EXPECT_EQ(t.first, 4u);

    // Re-arming a running timer with a long period: the next tick comes a
    // full period after the re-arm (ticks never come early, however loaded
    // the machine is).
    ticks.clear();
    host.SetTimer(4, 600);
    const qint64 armed = clock.elapsed();
    EXPECT_TRUE(test::WaitFor([&] { return !ticks.empty(); }, 5000));
    ASSERT_FALSE(ticks.empty());
    EXPECT_GE(ticks.front().second - armed, 590);
    host.KillTimer(4);
    EXPECT_FALSE(host.IsTimerActive(4));
    ticks.clear();
    QTest::qWait(700);
    EXPECT_TRUE(ticks.empty());
}

TEST_F(HostFixture, TimersAreIndependentByIdAndKillingAnUnknownIdIsHarmless) {
    host.KillTimer(9);
    host.SetTimer(5, 30);
    host.SetTimer(8, 30);
    host.KillTimer(5);
    EXPECT_TRUE(test::WaitFor([&] { return ticks.size() >= 3; }, 5000));
    for (auto& t : ticks) EXPECT_EQ(t.first, 8u);
    host.KillTimer(8);
}

TEST_F(HostFixture, PostedWorkRunsOnTheGuiThreadInOrder) {
    std::vector<int> order;
    std::atomic<int> wrongThread{0};
    QThread* gui = QThread::currentThread();
    std::thread worker([&] {
        for (int i = 0; i < 200; ++i)
            host.Post([&, i] {
                if (QThread::currentThread() != gui) ++wrongThread;
                order.push_back(i);
            });
    });
    worker.join();
    EXPECT_TRUE(order.empty());  // nothing runs before the event loop does
    EXPECT_TRUE(test::WaitFor([&] { return order.size() == 200; }, 5000));
    EXPECT_EQ(wrongThread.load(), 0);
    for (int i = 0; i < static_cast<int>(order.size()); ++i) ASSERT_EQ(order[i], i);
}

TEST_F(HostFixture, MessageBoxFromAnotherThreadIsShownOnTheGuiThreadAndWaitsForIt) {
    QThread* gui = QThread::currentThread();
    std::vector<std::string> seen;
    bool onGui = false;
    host.messageBoxHook = [&](const std::string& text, const std::string& caption) {
        onGui = QThread::currentThread() == gui;
        seen.push_back(caption + "|" + text);
        return IDOK;
    };
    std::atomic<bool> returned{false};
    std::atomic<int> result{0};
    std::thread worker([&] {
        result = host.MessageBox("WARNING:  ReadFile Failed", "Application Error");
        returned = true;
    });
    EXPECT_TRUE(test::WaitFor([&] { return returned.load(); }, 5000));
    worker.join();
    EXPECT_TRUE(onGui);
    EXPECT_EQ(result.load(), IDOK);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], "Application Error|WARNING:  ReadFile Failed");
}

TEST_F(HostFixture, ControlsByIdAndUnknownIds) {
    host.SetItemText(1183, "Erasing...");
    EXPECT_EQ(host.GetItemText(1183), "Erasing...");
    host.SetItemText(1190, "99.6094");
    EXPECT_EQ(host.GetItemText(1190), "99.6094");
    host.SetItemText(1006, "Close Port");
    EXPECT_EQ(host.GetItemText(1006), "Close Port");
    host.SetItemText(1168, "a\r\nb");
    EXPECT_EQ(host.GetItemText(1168), "a\r\nb");
    host.SetItemText(4242, "nothing");
    EXPECT_EQ(host.GetItemText(4242), "");

    EXPECT_FALSE(host.IsItemEnabled(1181));
    host.EnableItem(1181, true);
    EXPECT_TRUE(host.IsItemEnabled(1181));
    host.EnableItem(1181, false);
    EXPECT_FALSE(host.IsItemEnabled(1181));
    // A hidden control keeps its own enabled state.
    EXPECT_TRUE(host.IsItemEnabled(1118));
    EXPECT_FALSE(host.IsItemEnabled(1119));
    EXPECT_FALSE(host.IsItemEnabled(4242));

    host.SetComboSel(1106, 2);
    EXPECT_EQ(host.GetComboSel(1106), 2);
    EXPECT_EQ(qobject_cast<QComboBox*>(window.Control(1106))->currentText(), "COM3");
    host.SetComboSel(1106, 99);
    EXPECT_EQ(host.GetComboSel(1106), 99);
    host.SetComboSel(1106, 100);  // past the end clears the selection
    EXPECT_EQ(host.GetComboSel(1106), -1);
    EXPECT_EQ(host.GetComboSel(4242), -1);

    host.SetPortIcon(134);
    EXPECT_EQ(host.PortIcon(), 134);
}

TEST_F(HostFixture, EditsAreReadBackByTheDialog) {
    window.Initialise();
    host.messageBoxHook = [](const std::string&, const std::string&) { return IDOK; };
    host.SetItemText(1184, " 3 ");
    ASSERT_TRUE(window.Dialog().UpdateData(true));
    EXPECT_EQ(quillet::test::Probe(window.Dialog()).PatternNo(), 3);
}

TEST_F(HostFixture, PreviewIsPaintedTwoPixelsInsideTheFrame) {
    window.Initialise();
    CLoaderDlg& dlg = window.Dialog();
    for (int y = 0; y < kPreviewHeight; ++y)
        for (int x = 0; x < kPreviewWidth; ++x) {
            std::uint8_t* p = quillet::test::Probe(dlg).Images().preview + (y * kPreviewWidth + x) * 3;
            p[0] = static_cast<std::uint8_t>(x);
            p[1] = static_cast<std::uint8_t>(y);
            p[2] = static_cast<std::uint8_t>((x + y) & 0xFF);
        }
    host.RedrawPreview();
    const QImage shot = window.grab().toImage();
    const QPoint origin = window.Control(1186)->geometry().topLeft() + QPoint(2, 2);
    for (const QPoint pt : {QPoint(0, 0), QPoint(239, 0), QPoint(0, 159), QPoint(239, 159),
                            QPoint(100, 77)}) {
        const QColor c = shot.pixelColor(origin + pt);
        EXPECT_EQ(c.red(), pt.x() & 0xFF) << pt.x() << "," << pt.y();
        EXPECT_EQ(c.green(), pt.y());
        EXPECT_EQ(c.blue(), (pt.x() + pt.y()) & 0xFF);
    }
    // The frame line itself is black.
    EXPECT_EQ(shot.pixelColor(origin - QPoint(2, 2)), QColor(Qt::black));
}

TEST_F(HostFixture, CloseEndsTheDialogThroughOnClose) {
    window.Initialise();
    window.show();
    window.close();
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(quillet::test::Probe(window.Dialog()).Stream().buffer.empty());  // OnClose freed it
}

// Escape and the close box during an upload ask through the core: No keeps
// the window and the upload, Yes stops it, closes the port and the window.
TEST_F(HostFixture, EscapeAndCloseDuringAnUploadAskFirst) {
    quillet::test::FakeSerialPort port;
    window.Initialise(PortMap{}, &port);
    window.show();
    std::vector<std::string> asked;
    bool answer = false;
    host.yesNoHook = [&](const std::string& text, const std::string&) {
        asked.push_back(text);
        return answer;
    };
    window.Dialog().OnPortButton();
    host.SetItemText(IDC_PATTERN_NO, "1");
    window.Dialog().OnCommand(IDC_PANEL_DATA);
    ASSERT_EQ(port.writes.size(), 1u);
    QTest::keyClick(&window, Qt::Key_Escape);
    window.close();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0], "An upload to the instrument is running (0.332031 %). Stop it?");
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(port.open);
    answer = true;
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_EQ(asked.size(), 3u);
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(port.open);
}

TEST(GuiSupport, FileFilterInQtForm) {
    EXPECT_EQ(QtFileFilter("bmp file(*.bmp)|*.bmp|all file(*.*)|*.*||"),
              "bmp file(*.bmp);;all file(*.*)");
    EXPECT_EQ(QtFileFilter("firmware|*.bin|images|*.bmp;*.png||"),
              "firmware (*.bin);;images (*.bmp *.png)");
    // "Load Image": BMP and PNG in one entry; Qt reads blank-separated patterns.
    EXPECT_EQ(QtFileFilter("bmp or png file(*.bmp;*.png)|*.bmp;*.png|bmp file(*.bmp)|*.bmp|all file(*.*)|*.*||"),
              "bmp or png file(*.bmp *.png);;bmp file(*.bmp);;all file(*.*)");
    EXPECT_EQ(QtFileFilter(""), "");
}

TEST(GuiSupport, PathsAndCommandLines) {
    EXPECT_EQ(NativeDir(".\\"), "./");
    EXPECT_EQ(NativeDir(".\\data\\x.bin"), "./data/x.bin");
    EXPECT_EQ(SplitCommandLine(".\\FlyMcu\\FlyMcu.exe"), QStringList{"./FlyMcu/FlyMcu.exe"});
    EXPECT_EQ(SplitCommandLine("\"my tool\" -p 3"), (QStringList{"my tool", "-p", "3"}));
    EXPECT_TRUE(SplitCommandLine("").isEmpty());
}

TEST(GuiSupport, DisplayDetection) {
    auto env = [](std::map<std::string, std::string> vars) {
        return [vars](const char* name) -> const char* {
            const auto it = vars.find(name);
            return it == vars.end() ? nullptr : it->second.c_str();
        };
    };
    EXPECT_FALSE(HasDisplay(env({})));
    EXPECT_FALSE(HasDisplay(env({{"DISPLAY", ""}})));
    EXPECT_TRUE(HasDisplay(env({{"DISPLAY", ":0"}})));
    EXPECT_TRUE(HasDisplay(env({{"WAYLAND_DISPLAY", "wayland-0"}})));
    EXPECT_TRUE(HasDisplay(env({{"QT_QPA_PLATFORM", "offscreen"}})));
}

TEST(GuiSupport, FindsTheCommandLineProgram) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    std::filesystem::create_directories(root + "/gui");
    std::filesystem::create_directories(root + "/cli");
    EXPECT_EQ(FindCliBeside(root + "/gui"), "");
    std::ofstream(root + "/gui/quillet-cli") << "x";
    EXPECT_EQ(FindCliBeside(root + "/gui"), root + "/gui/quillet-cli");
    std::ofstream(root + "/cli/quillet-cli") << "x";
    EXPECT_EQ(FindCliBeside(root + "/gui"), root + "/cli/quillet-cli");  // the build tree first
}

} // namespace
} // namespace quillet::gui
