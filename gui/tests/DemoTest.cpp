// The demo set-up and the operator's whole road through the dialog against
// it: search, load the sample pattern, store it in a slot.
#include <QComboBox>
#include <QImage>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "gui/tests/Wait.h"
#include <filesystem>
#include <gtest/gtest.h>

#include "dialog/LoaderDlg.h"
#include "gui/Demo.h"
#include "gui/LoaderWindow.h"
#include "gui/QtHost.h"
#include "serial/PortMap.h"

namespace quillet::gui {
namespace {

struct DemoFixture : ::testing::Test {
    std::filesystem::path startDir = std::filesystem::current_path();
    QTemporaryDir base;
    std::vector<std::string> boxes;
    std::vector<FlowEventInfo> events;
    void TearDown() override {
        std::filesystem::current_path(startDir);
    }
    bool Seen(FlowEvent e) const {
        for (auto& info : events)
            if (info.event == e) return true;
        return false;
    }
};

TEST_F(DemoFixture, SetsUpSimulatorPortAndFolder) {
    DemoSession demo;
    std::string error;
    ASSERT_TRUE(demo.Start(base.path().toStdString(), error)) << error;
    EXPECT_EQ(demo.Map().DevicePath(1), demo.Device());
    EXPECT_TRUE(std::filesystem::exists(demo.SamplePath()));
    EXPECT_EQ(std::filesystem::file_size(demo.SamplePath()), 54u + 1920u * 1080u * 3u);
    EXPECT_TRUE(std::filesystem::is_directory(demo.ReceivedDir()));
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), demo.Folder()));
    demo.Stop();
}

TEST_F(DemoFixture, OperatorFindsLoadsAndStoresTheSampleFromTheDialog) {
    DemoSession demo;
    std::string error;
    ASSERT_TRUE(demo.Start(base.path().toStdString(), error)) << error;

    LoaderWindow window;
    QtHost& host = window.Host();
    host.messageBoxHook = [&](const std::string& text, const std::string&) {
        boxes.push_back(text);
        return IDOK;
    };
    std::string dialogDir;
    host.fileDialogHook = [&](const std::string&, const std::string& dir) {
        dialogDir = dir;
        return std::optional<std::string>(demo.SamplePath());
    };
    window.Initialise(demo.Map());
    window.Dialog().SetEventSink([&](const FlowEventInfo& e) { events.push_back(e); });
    auto button = [&](int id) { return qobject_cast<QPushButton*>(window.Control(id)); };

    button(1107)->click();
    ASSERT_TRUE(test::WaitFor([&] { return Seen(FlowEvent::SearchFound); }, 5000));
    EXPECT_EQ(button(1006)->text(), "Close Port");
    EXPECT_EQ(qobject_cast<QComboBox*>(window.Control(1106))->currentText(), "COM1");

    button(1185)->click();
    EXPECT_TRUE(boxes.empty()) << boxes.front();
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), demo.Folder()));
    EXPECT_TRUE(button(1181)->isEnabled());
    EXPECT_TRUE(button(1144)->isEnabled());

    // The small panel image: 300 blocks after the slot's erase.
    host.SetItemText(1184, "2");
    button(1144)->click();
    ASSERT_TRUE(test::WaitFor([&] { return Seen(FlowEvent::StreamFinished); }, 60000))
        << (boxes.empty() ? "" : boxes.front());
    EXPECT_TRUE(boxes.empty()) << boxes.front();
    EXPECT_EQ(host.GetItemText(1190), "100");
    // Timer 5 closes the port a second after the last block.
    ASSERT_TRUE(test::WaitFor([&] { return button(1006)->text() == "Turn on Port"; }, 5000));

    // The full pattern: search again, then slot 3 (erase wait, 24,300 blocks).
    events.clear();
    button(1107)->click();
    ASSERT_TRUE(test::WaitFor([&] { return Seen(FlowEvent::SearchFound); }, 5000));
    host.SetItemText(1184, "3");
    button(1181)->click();
    ASSERT_TRUE(test::WaitFor([&] { return Seen(FlowEvent::StreamFinished); }, 90000))
        << (boxes.empty() ? "" : boxes.front());
    EXPECT_TRUE(boxes.empty()) << boxes.front();
    EXPECT_EQ(host.GetItemText(1190), "100");
    // The instrument has stored the pattern once it acknowledged the last block.
    auto lastAcked = [&] {
        bool finished = false;
        for (const auto& e : events) {
            if (e.event == FlowEvent::StreamFinished) finished = true;
            if (finished && e.event == FlowEvent::BlockAcked && e.a == 0) return true;
        }
        return false;
    };
    ASSERT_TRUE(test::WaitFor(lastAcked, 5000));
    demo.Stop();

    // What the simulated generator stored in slot 3 is the sample, pixel for pixel.
    QString stored;
    for (const auto& entry : std::filesystem::directory_iterator(demo.ReceivedDir())) {
        const QString name = QString::fromStdString(entry.path().filename().string());
        if (name.contains("pattern") && name.contains("3") &&
            (name.endsWith(".png") || name.endsWith(".bmp")))
            stored = QString::fromStdString(entry.path().string());
    }
    ASSERT_FALSE(stored.isEmpty());
    const QImage received = QImage(stored).convertToFormat(QImage::Format_RGB32);
    const QImage sample =
        QImage(QString::fromStdString(demo.SamplePath())).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(sample.size(), QSize(1920, 1080));
    EXPECT_TRUE(received == sample);
}

} // namespace
} // namespace quillet::gui
