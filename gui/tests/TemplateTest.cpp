// The main dialog as built from template 102: every control with its id,
// class, caption, geometry and start state; the combo lists; the about box.
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>
#include <gtest/gtest.h>
#include <vector>

#include "dialog/LoaderDlg.h"
#include "gui/AboutBox.h"
#include "gui/DialogTemplate.h"
#include "gui/Icons.h"
#include "gui/LoaderWindow.h"
#include "gui/QtHost.h"

namespace quillet::gui {
namespace {

struct Row {
    int id;
    const char* cls;       // Qt class the control must be (or derive from)
    const char* caption;   // caption at creation
    int x, y, w, h;
    bool hidden;
    bool off;
};

// Template 102 as the instrument's dialog has it, in template order.
const Row kRows[] = {
    {1006, "QPushButton", "Turn on Port", 52, 7, 53, 14, false, false},
    {1007, "QLabel", "", 7, 10, 20, 20, false, false},
    {1106, "QComboBox", "", 54, 23, 52, 83, false, false},
    {-1, "QLabel", "Comm:", 33, 27, 21, 8, false, false},
    {1107, "QPushButton", "Search Signal Generator", 7, 67, 103, 20, false, false},
    {1108, "QLabel", "Static", 13, 40, 87, 8, false, false},
    {1118, "QPushButton", "To Update Generator MCU Firmware", 180, 281, 97, 25, true, false},
    {1119, "QPushButton", "To Update SUB MCU Firmware", 68, 270, 18, 25, true, true},
    {1120, "QPushButton", "To Update IN1 Firmware", 39, 284, 25, 17, true, true},
    {1121, "QPushButton", "To Update IN2 Firmware", 26, 280, 32, 17, true, true},
    {1122, "QPushButton", "To Update IN3 Firmware", 22, 272, 30, 19, true, true},
    {1123, "QPushButton", "To Update IN4 Firmware", 23, 276, 31, 21, true, true},
    {-1, "QGroupBox", "FPGA FLASH UPDATE", 7, 291, 125, 36, true, false},
    {1187, "QPushButton", "Generator FPGA Firmware", 91, 275, 97, 25, true, false},
    {1188, "QPushButton", "AUX FPGA UPDATE", 64, 301, 66, 15, true, true},
    {1190, "QLineEdit", "", 46, 135, 41, 15, false, true},
    {-1, "QLabel", "%", 88, 137, 8, 9, false, false},
    {1109, "QPushButton", "Search Signal Analyzer", 7, 177, 103, 20, true, false},
    {1110, "QPushButton", "Search 4:2 Multiviewer", 26, 277, 23, 15, true, true},
    {1111, "QPushButton", "Search 4:8 Multiviewer", 20, 273, 33, 12, true, true},
    {1112, "QPushButton", "Search 9:9 Multiviewer", 19, 276, 32, 16, true, true},
    {1113, "QPushButton", "Search 8:8 HDMI2.0 Matrix", 21, 273, 24, 14, true, true},
    {1114, "QPushButton", "Search 2:8 HDMI2.0 DA", 23, 274, 24, 15, true, true},
    {1115, "QPushButton", "Search Matrix EXENDER KX4", 15, 257, 23, 15, true, true},
    {1144, "QPushButton", "3\" LCD panel data flash", 168, 235, 114, 21, false, true},
    {1167, "QLineEdit", "", 102, 297, 40, 14, true, true},
    {1180, "QComboBox", "", 17, 246, 20, 166, true, true},
    {1181, "QPushButton", "SG NAND FLASH", 168, 210, 113, 21, false, true},
    {1183, "QLabel", "Please wait....", 29, 162, 61, 8, false, false},
    {1124, "QPushButton", "To Update Analyzer MCU Firmware", 202, 282, 97, 25, true, false},
    {1189, "QPushButton", "Analyzer FPGA Firmware", 160, 287, 97, 25, true, false},
    {1145, "QPushButton", "Analyzer Data Flash", 155, 294, 97, 25, true, true},
    {1168, "QPlainTextEdit", "", 7, 96, 109, 32, false, true},
    {-1, "QGroupBox", "To Upload Generator User Pattern", 118, 17, 260, 266, false, false},
    {-1, "QGroupBox", "To Update Analyzer Firmware", 113, 281, 204, 53, true, false},
    {1184, "QLineEdit", "", 309, 232, 25, 14, false, false},
    {-1, "QLabel", "User Pattern No(1~4):", 287, 218, 84, 8, false, false},
    {1186, "QFrame", "", 157, 43, 162, 110, false, false},
    {1185, "QPushButton", "Load Image", 168, 184, 113, 22, false, false},
    {-1, "QLabel", "Step1:", 139, 191, 25, 8, false, false},
    {-1, "QLabel", "Step2:", 139, 216, 25, 8, false, false},
    {-1, "QLabel", "Step3:", 139, 240, 25, 8, false, false},
};

// The dialog base units of the dialog font, computed here on their own.
struct Base {
    int x, y;
};
Base BaseUnits() {
    const QFontMetrics fm(DialogFont());
    const int letters =
        fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(letters / 26 + 1) / 2, fm.height()};
}
int Px(int du, int base, int div) { return (du * base + div / 2) / div; }

QString TextOf(QWidget* w) {
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
    return {};
}

std::vector<QWidget*> ControlsInTemplateOrder(LoaderWindow& window) {
    std::vector<QWidget*> list;
    for (QWidget* w : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (w->property("templateIndex").isValid()) list.push_back(w);
    std::sort(list.begin(), list.end(), [](QWidget* a, QWidget* b) {
        return a->property("templateIndex").toInt() < b->property("templateIndex").toInt();
    });
    return list;
}

TEST(DialogTemplate, EveryControlAsTheTemplateHasIt) {
    LoaderWindow window;  // not initialised: the template's own captions
    const Base base = BaseUnits();
    ASSERT_GE(base.x, 4);
    ASSERT_GE(base.y, 8);
    const std::vector<QWidget*> controls = ControlsInTemplateOrder(window);
    ASSERT_EQ(controls.size(), std::size(kRows));
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const Row& row = kRows[i];
        QWidget* w = controls[i];
        SCOPED_TRACE(testing::Message() << "row " << i << " id " << row.id << " " << row.caption);
        EXPECT_EQ(w->property("ctrlId").toInt(), row.id);
        EXPECT_TRUE(w->inherits(row.cls)) << w->metaObject()->className();
        EXPECT_EQ(TextOf(w), QString::fromUtf8(row.caption));
        EXPECT_EQ(w->isHidden(), row.hidden);
        EXPECT_EQ(w->isEnabled(), !row.off);
        if (row.id != -1) {
            EXPECT_EQ(window.Control(row.id), w);
        }
        const QRect g = w->geometry();
        EXPECT_EQ(g.y(), Px(row.y, base.y, 8));
        if (i == CommLabelRoom().index) {
            // "Comm:" may grow to the left to show its text whole; its
            // right edge stays where the template puts it.
            EXPECT_EQ(g.x() + g.width(), Px(row.x, base.x, 4) + Px(row.w, base.x, 4));
            EXPECT_GE(g.x(), Px(CommLabelRoom().minX, base.x, 4));
        } else {
            EXPECT_EQ(g.x(), Px(row.x, base.x, 4));
            EXPECT_EQ(g.width(), Px(row.w, base.x, 4));
        }
        if (qobject_cast<QComboBox*>(w)) {
            // The template height includes the dropped-down list: the field
            // is shorter, and the list fits in the rest.
            EXPECT_LT(g.height(), Px(row.h, base.y, 8));
        } else {
            EXPECT_EQ(g.height(), Px(row.h, base.y, 8));
        }
    }
}

TEST(DialogTemplate, CaptionSizeAndCentredGroupCaptions) {
    LoaderWindow window;
    const Base base = BaseUnits();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("User Quillet 0.91"));
    // The template is 393x347; the progress strip below it adds its height.
    EXPECT_EQ(window.size(), QSize(Px(393, base.x, 4), Px(MainDialogHeight(), base.y, 8)));
    EXPECT_GT(MainDialogHeight(), 347);
    EXPECT_EQ(window.minimumSize(), window.maximumSize());  // fixed frame
    EXPECT_TRUE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    for (QGroupBox* box : window.findChildren<QGroupBox*>()) {
        const bool centred = box->title() != QStringLiteral("FPGA FLASH UPDATE");
        EXPECT_EQ(box->alignment() == Qt::AlignHCenter, centred) << box->title().toStdString();
        // Group boxes lie behind the buttons inside them and take no clicks.
        EXPECT_TRUE(box->testAttribute(Qt::WA_TransparentForMouseEvents));
    }
}

TEST(DialogTemplate, ComboContents) {
    LoaderWindow window;
    auto* com = qobject_cast<QComboBox*>(window.Control(1106));
    auto* mcu = qobject_cast<QComboBox*>(window.Control(1180));
    ASSERT_TRUE(com && mcu);
    ASSERT_EQ(com->count(), 100);
    EXPECT_EQ(com->itemText(0), "COM1");
    EXPECT_EQ(com->itemText(9), "COM10");
    EXPECT_EQ(com->itemText(98), "COM99");
    EXPECT_EQ(com->itemText(99), "");
    const QStringList expected = {"Keyboard",   "input1 MCU", "input2 MCU", "input3 MCU",
                                  "input4 MCU", "input5 MCU", "input6 MCU", "input7 MCU",
                                  "input8 MCU", "input9 MCU", "LAN MCU"};
    ASSERT_EQ(mcu->count(), expected.size());
    for (int i = 0; i < mcu->count(); ++i) EXPECT_EQ(mcu->itemText(i), expected[i]);
    // The dropped list uses the room the template gives it.
    EXPECT_GT(mcu->maxVisibleItems(), com->maxVisibleItems());
}

TEST(DialogTemplate, StartStateAfterInitialisation) {
    LoaderWindow window;
    window.Initialise();
    QtHost& host = window.Host();
    EXPECT_EQ(host.GetItemText(1006), "Turn on Port");
    EXPECT_EQ(host.PortIcon(), 133);
    EXPECT_FALSE(qobject_cast<QLabel*>(window.Control(1007))->pixmap().isNull());
    EXPECT_EQ(host.GetComboSel(1106), 0);
    EXPECT_EQ(qobject_cast<QComboBox*>(window.Control(1106))->currentText(), "COM1");
    EXPECT_EQ(host.GetItemText(1108), " ");
    EXPECT_EQ(host.GetItemText(1190), "0");
    EXPECT_EQ(host.GetItemText(1184), "0");
    // The note as the dialog writes it, with its line ends, and shown on
    // three lines.
    EXPECT_EQ(host.GetItemText(1168), "Note: Only for user \r\n define pattern\r\n uploading !");
    EXPECT_EQ(qobject_cast<QPlainTextEdit*>(window.Control(1168))->document()->blockCount(), 3);
    EXPECT_FALSE(host.IsItemEnabled(1181));
    EXPECT_FALSE(host.IsItemEnabled(1144));
}

TEST(DialogTemplate, ComListTooltipsNameTheDevices) {
    LoaderWindow window;
    window.Initialise();
    window.RefreshPortTooltips();
    auto* com = qobject_cast<QComboBox*>(window.Control(1106));
    for (int i = 0; i < com->count(); ++i)
        EXPECT_TRUE(com->itemData(i, Qt::ToolTipRole).toString().startsWith(
            QStringLiteral("COM%1: ").arg(i + 1)));
    EXPECT_EQ(com->itemText(0), "COM1");  // entries keep their texts
    EXPECT_EQ(com->toolTip(), com->itemData(0, Qt::ToolTipRole).toString());
}

TEST(AboutBox, Template100) {
    AboutBox box;
    const Base base = BaseUnits();
    EXPECT_EQ(box.windowTitle(), "About Quillet");
    EXPECT_EQ(box.size(), QSize(Px(235, base.x, 4), Px(55, base.y, 8)));
    QLabel* text = nullptr;
    QLabel* icon = nullptr;
    for (QLabel* l : box.findChildren<QLabel*>()) (l->text().isEmpty() ? icon : text) = l;
    ASSERT_TRUE(text && icon);
    EXPECT_EQ(text->text(), "Quillet Version 1.0");
    EXPECT_EQ(text->geometry(),
              QRect(Px(40, base.x, 4), Px(10, base.y, 8), Px(119, base.x, 4), Px(8, base.y, 8)));
    EXPECT_EQ(icon->pos(), QPoint(Px(11, base.x, 4), Px(17, base.y, 8)));
    EXPECT_FALSE(icon->pixmap().isNull());
    auto* ok = box.findChild<QPushButton*>();
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->text(), "OK");
    EXPECT_EQ(ok->property("ctrlId").toInt(), 1);
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(ok->geometry(),
              QRect(Px(178, base.x, 4), Px(7, base.y, 8), Px(50, base.x, 4), Px(14, base.y, 8)));
    ok->click();
    EXPECT_EQ(box.result(), QDialog::Accepted);
}

TEST(AboutBox, ContextMenuItemOpensIt) {
    LoaderWindow window;
    window.Initialise();
    int shown = 0;
    window.Host().aboutHook = [&] { ++shown; };
    QMenu* menu = window.CreateContextMenu(&window);
    ASSERT_EQ(menu->actions().size(), 1);
    QAction* about = menu->actions().front();
    EXPECT_EQ(about->text(), "&About ISP...");
    about->trigger();
    EXPECT_EQ(shown, 1);
}

TEST(Icons, OwnDrawingsForTheThreeIds) {
    const QImage app = DrawIcon(128).toImage();
    const QImage closed = DrawIcon(133).toImage();
    const QImage open = DrawIcon(134).toImage();
    EXPECT_EQ(app.size(), QSize(32, 32));
    EXPECT_NE(closed, open);
    EXPECT_NE(app, closed);
    // Not blank: some pixels are opaque.
    for (const QImage* im : {&app, &closed, &open}) {
        int opaque = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x) opaque += qAlpha(im->pixel(x, y)) > 200;
        EXPECT_GT(opaque, 100);
    }
    EXPECT_TRUE(DrawIcon(130).isNull());
    EXPECT_EQ(DrawIcon(134, 16).size(), QSize(16, 16));
}

} // namespace
} // namespace quillet::gui
