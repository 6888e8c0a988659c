// The quillet program itself: --screenshot, --load, and the start without
// a display.
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <filesystem>
#include <gtest/gtest.h>

#include "dialog/LoaderDlg.h"
#include "gui/LoaderWindow.h"
#include "gui/QtHost.h"
#include "pattern/SamplePattern.h"

namespace quillet::gui {
namespace {

QProcessEnvironment Offscreen() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

int RunQuillet(const QStringList& args, const QProcessEnvironment& env, QString* out = nullptr,
        const QString& program = QStringLiteral(QUILLET_GUI_PATH)) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        return -1;
    }
    if (out) *out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

TEST(Screenshot, WritesAPictureOfTheDialogsSize) {
    QTemporaryDir dir;
    const QString png = dir.filePath("dialog.png");
    ASSERT_EQ(RunQuillet({"--screenshot", png}, Offscreen()), 0);
    const QImage shot(png);
    ASSERT_FALSE(shot.isNull());
    LoaderWindow window;  // same font, same metrics as the program's
    EXPECT_EQ(shot.size(), window.size());
    // The picture shows the dialog: the preview frame's line is black.
    const QPoint frame = window.Control(1186)->geometry().topLeft();
    EXPECT_EQ(shot.pixelColor(frame + QPoint(40, 0)), QColor(Qt::black));
}

TEST(Screenshot, WithLoadShowsThePreview) {
    QTemporaryDir dir;
    const std::string bmp = dir.filePath("sample.bmp").toStdString();
    ASSERT_TRUE(WriteSamplePatternBmp(bmp));
    const QString png = dir.filePath("loaded.png");
    ASSERT_EQ(RunQuillet({"--screenshot", png, "--load", QString::fromStdString(bmp)}, Offscreen()), 0);
    const QImage shot(png);
    ASSERT_FALSE(shot.isNull());

    // The same import in this process gives the preview the picture must show.
    LoaderWindow window;
    window.Initialise();
    window.Host().messageBoxHook = [](const std::string&, const std::string&) { return IDOK; };
    window.Host().fileDialogHook = [&](const std::string&, const std::string&) {
        return std::optional<std::string>(bmp);
    };
    window.Dialog().OnCommand(IDC_LOAD_IMAGE);
    const std::uint8_t* preview = window.Dialog().PreviewPixels();
    const QPoint origin = window.Control(1186)->geometry().topLeft() + QPoint(2, 2);
    int differing = 0;
    int colours = 0;
    QColor last;
    for (int y = 0; y < 160; y += 7)
        for (int x = 0; x < 240; x += 11) {
            const std::uint8_t* p = preview + (y * 240 + x) * 3;
            const QColor c = shot.pixelColor(origin + QPoint(x, y));
            differing += c != QColor(p[0], p[1], p[2]);
            colours += c != last;
            last = c;
        }
    EXPECT_EQ(differing, 0);
    EXPECT_GT(colours, 10);  // a picture, not a blank area
    // The upload buttons follow the import.
    EXPECT_TRUE(window.Host().IsItemEnabled(1181));
    EXPECT_TRUE(window.Host().IsItemEnabled(1144));
}

TEST(Screenshot, BadArgumentsAreUsageErrors) {
    EXPECT_EQ(RunQuillet({"--screenshot"}, Offscreen()), 2);
    EXPECT_EQ(RunQuillet({"--bogus"}, Offscreen()), 2);
    EXPECT_EQ(RunQuillet({"--load", "x.bmp"}, Offscreen()), 2);
}

TEST(NoDisplay, HandsTheJobToTheCommandLine) {
    // A copy of the program beside a stand-in quillet-cli that says how it
    // was called.
    QTemporaryDir dir;
    const QString self = dir.filePath("quillet");
    ASSERT_TRUE(QFile::copy(QStringLiteral(QUILLET_GUI_PATH), self));
    const QString cli = dir.filePath("quillet-cli");
    {
        QFile f(cli);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\necho \"stand-in cli: $*\"\nexit 7\n");
    }
    QFile::setPermissions(cli, QFile::permissions(cli) | QFileDevice::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    for (const QStringList& args : {QStringList{}, QStringList{"--demo"}}) {
        QString out;
        EXPECT_EQ(RunQuillet(args, env, &out, self), 7) << out.toStdString();
        EXPECT_TRUE(out.contains("No display found: running the same job from the command line "
                                 "(quillet-cli demo)."))
            << out.toStdString();
        EXPECT_TRUE(out.contains("stand-in cli: demo")) << out.toStdString();
        EXPECT_FALSE(out.contains("qt.qpa")) << out.toStdString();
    }
    // The trace asked for goes along.
    QString out;
    EXPECT_EQ(RunQuillet({"-v", "-v", "--log", "demo.log"}, env, &out, self), 7) << out.toStdString();
    EXPECT_TRUE(out.contains("stand-in cli: demo -vv --log demo.log")) << out.toStdString();
}

} // namespace
} // namespace quillet::gui
