// The Qt dialog beyond its template: the loaded file's name and the
// progress strip, "Comm:" shown whole, a file dropped on the window, and
// the choices kept with QSettings.
#include <QComboBox>
#include <QCoreApplication>
#include <QDropEvent>
#include <QImage>
#include <QLabel>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

#include "dialog/LoaderDlg.h"
#include "gui/LoaderWindow.h"
#include "gui/QtHost.h"
#include "gui/QtSettings.h"
#include "pattern/SamplePattern.h"
#include "serial/AdapterLatency.h"
#include "tests/support/FakeSerialPort.h"

namespace quillet::gui {
namespace {

QString LabelText(const LoaderWindow& window, int id) {
    auto* label = qobject_cast<QLabel*>(window.Control(id));
    return label ? label->text() : QStringLiteral("<no label>");
}

// Sends a drop of `urls` on the window; true when the drag was accepted.
bool Drop(LoaderWindow& window, const QList<QUrl>& urls) {
    QMimeData mime;
    mime.setUrls(urls);
    const QPoint at = window.rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &drop);
    return true;
}

TEST(Shown, TemplateKeepsItsPlacesAndTheStripIsBelowIt) {
    LoaderWindow window;
    const DialogUnits& u = window.Units();
    int lowest = 0;
    for (QWidget* w : window.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        const QVariant index = w->property("templateIndex");
        if (!index.isValid()) continue;
        const ControlTemplate& c = MainDialogTemplate().controls.at(index.toUInt());
        const QRect r = u.Rect(c.x, c.y, c.w, c.h);
        // (A combo's template height includes its dropped-down list.)
        lowest = std::max(lowest, w->geometry().bottom());
        if (c.kind == ControlKind::DropDownCombo) {
            EXPECT_EQ(w->pos(), r.topLeft());
        } else if (index.toUInt() == CommLabelRoom().index) {
            // "Comm:" keeps its right edge and shows its whole text.
            EXPECT_EQ(w->geometry().right(), r.right());
            EXPECT_GE(w->width(), QFontMetrics(w->font()).horizontalAdvance(QStringLiteral("Comm:")));
            EXPECT_GE(w->x(), u.X(CommLabelRoom().minX));
        } else {
            EXPECT_EQ(w->geometry(), r) << c.caption;
        }
    }
    QWidget* strip = window.Control(IDC_PROGRESS_STRIP);
    ASSERT_NE(strip, nullptr);
    EXPECT_GT(strip->y(), lowest);
    EXPECT_LE(strip->geometry().bottom(), window.height());
    EXPECT_EQ(window.height(), u.Y(MainDialogHeight()));
    QWidget* name = window.Control(IDC_LOADED_FILE);
    ASSERT_NE(name, nullptr);
    EXPECT_GT(name->y(), window.Control(IDC_PREVIEW)->geometry().bottom());
}

TEST(Shown, DroppedFileLoadsAndItsNameShows) {
    QTemporaryDir dir;
    const QString bmp = dir.filePath("dropped.bmp");
    ASSERT_TRUE(WriteSamplePatternBmp(bmp.toStdString()));
    test::FakeSerialPort port;
    LoaderWindow window;
    window.Initialise({}, &port);
    std::vector<std::string> boxes;
    window.Host().messageBoxHook = [&](const std::string& text, const std::string&) {
        boxes.push_back(text);
        return IDOK;
    };
    // Only local files are taken.
    EXPECT_FALSE(Drop(window, {QUrl(QStringLiteral("https://example.org/x.bmp"))}));
    EXPECT_TRUE(Drop(window, {QUrl::fromLocalFile(bmp)}));
    EXPECT_EQ(window.Dialog().LoadedFileName(), "dropped.bmp");
    EXPECT_EQ(LabelText(window, IDC_LOADED_FILE), QStringLiteral("dropped.bmp"));
    EXPECT_TRUE(window.Dialog().PatternReady());
    EXPECT_TRUE(boxes.empty());
}

TEST(Shown, StripShowsTheStreamsLine) {
    test::FakeSerialPort port;
    LoaderWindow window;
    window.Initialise({}, &port);
    window.Dialog().OnPortButton();
    window.Host().SetItemText(IDC_PATTERN_NO, "1");
    window.Dialog().OnPanelDataFlash();
    ASSERT_TRUE(window.Dialog().CurrentFlow().Running());
    EXPECT_FALSE(window.Dialog().StripText().empty());
    EXPECT_EQ(LabelText(window, IDC_PROGRESS_STRIP).toStdString(), window.Dialog().StripText());
    // The line is drawn inside the window: the strip's left part differs
    // from the empty background at its right end.
    window.ensurePolished();
    const QImage shot = window.grab().toImage();
    const QRect strip = window.Control(IDC_PROGRESS_STRIP)->geometry();
    ASSERT_TRUE(shot.rect().contains(strip));
    const QColor background = shot.pixelColor(strip.right() - 1, strip.center().y());
    int inked = 0;
    for (int y = strip.top(); y <= strip.bottom(); ++y)
        for (int x = strip.left(); x < strip.left() + strip.width() / 4; ++x) inked += shot.pixelColor(x, y) != background;
    EXPECT_GT(inked, 20);
    window.Dialog().StopRunningFlow(false);
    EXPECT_EQ(LabelText(window, IDC_PROGRESS_STRIP), QString());
}

// A panel upload on COM1, an FTDI adapter whose timer is 16 ms: the strip
// tells the advice below its line, whole (the strip and the window grow
// by the lines it needs, nothing is covered), and is one line again at
// the flow's end; the template's texts stay.
TEST(Shown, StripTellsTheAdaptersAdviceWhileAFlowWrites) {
    test::FakeSerialPort port, plainPort;
    LoaderWindow window, plain;
    std::vector<unsigned> asked;
    window.portAdvice = [&](unsigned com, const std::string&) {
        asked.push_back(com);
        return LatencyAdvice("COM" + std::to_string(com), 16);
    };
    plain.portAdvice = [](unsigned, const std::string&) { return std::string(); };
    window.Initialise({}, &port);
    plain.Initialise({}, &plainPort);
    const int height = window.height();
    const int stripHeight = window.Control(IDC_PROGRESS_STRIP)->height();
    for (LoaderWindow* w : {&window, &plain}) {
        w->Dialog().OnPortButton();
        w->Host().SetItemText(IDC_PATTERN_NO, "1");
        w->Dialog().OnPanelDataFlash();
        ASSERT_TRUE(w->Dialog().CurrentFlow().writing);
    }
    EXPECT_EQ(asked, std::vector<unsigned>{1});
    const std::string advice = LatencyAdvice("COM1", 16);
    const QString shown = LabelText(window, IDC_PROGRESS_STRIP);
    EXPECT_EQ(shown, LabelText(plain, IDC_PROGRESS_STRIP) + QStringLiteral("\n") + QString::fromStdString(advice));
    auto* strip = qobject_cast<QLabel*>(window.Control(IDC_PROGRESS_STRIP));
    EXPECT_GE(strip->height(), strip->heightForWidth(strip->width()));
    EXPECT_GT(strip->height(), 2 * stripHeight);
    EXPECT_EQ(window.height() - height, strip->height() - stripHeight);
    EXPECT_EQ(plain.height(), height);
    // The template's texts are the same as without the advice.
    for (int id : {IDC_STATUS, IDC_NOTE, IDC_PROGRESS, IDC_SEARCH_STATUS})
        EXPECT_EQ(LabelText(window, id), LabelText(plain, id)) << id;
    EXPECT_EQ(window.Dialog().NoteText(), plain.Dialog().NoteText());
    EXPECT_EQ(window.Dialog().StatusText(), plain.Dialog().StatusText());
    window.Dialog().StopRunningFlow(false);
    EXPECT_EQ(LabelText(window, IDC_PROGRESS_STRIP), QString());
    EXPECT_EQ(window.height(), height);
    EXPECT_EQ(strip->height(), stripHeight);
}

TEST(Shown, ChoicesRoundTripThroughQSettings) {
    QTemporaryDir dir;
    const QString ini = dir.filePath("quillet.ini");
    {
        QtSettings s(ini);
        EXPECT_FALSE(s.Read("port").has_value());
        s.Write("port", "3");
        s.Write("folder", "/tmp/b\xC3\xBC" "der/");
    }
    QtSettings again(ini);
    EXPECT_EQ(again.Read("port"), "3");
    EXPECT_EQ(again.Read("folder"), "/tmp/b\xC3\xBC" "der/");

    // A window handed the store starts on the remembered port and keeps
    // the next choice there; the port is not opened by itself.
    test::FakeSerialPort port;
    port.present = {1, 2, 3};
    {
        LoaderWindow window;
        window.RememberChoices(std::make_unique<QtSettings>(ini));
        window.Initialise({}, &port);
        EXPECT_EQ(qobject_cast<QComboBox*>(window.Control(IDC_COM_LIST))->currentIndex(), 2);
        EXPECT_TRUE(port.opens.empty());
        window.Host().SetComboSel(IDC_COM_LIST, 1);
        window.Dialog().OnCommand(IDC_COM_LIST);
    }
    EXPECT_EQ(QtSettings(ini).Read("port"), "2");
}

} // namespace
} // namespace quillet::gui
