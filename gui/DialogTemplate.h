// The dialog templates as data: template 102 (the main dialog) and
// template 100 (the about box), in dialog units, in template order.
//
// The Qt dialog is built from these tables; dialog units become pixels
// through DialogUnits, from the metrics of the dialog font.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>
#include <QStringList>
#include <vector>

namespace quillet::gui {

enum class ControlKind {
    PushButton,
    MultiLineButton,   // push button whose caption wraps onto several lines
    DefPushButton,     // the default push button (about box OK)
    StaticText,
    StaticIcon,
    DropDownCombo,     // drop-down combo with a vertical scroll bar
    Edit,              // single-line edit with border
    ReadOnlyEdit,
    MultiLineEdit,
    GroupBox,
    CentredGroupBox,   // group box with its caption centred
    BlackFrame,        // static with a black frame (the preview area)
};

struct ControlTemplate {
    int id;                // -1 for the unnamed statics and group boxes
    ControlKind kind;
    QString caption;
    int x, y, w, h;        // dialog units
    bool hidden;           // not visible at start
    bool disabled;         // disabled at start
};

struct DialogTemplate {
    QString caption;
    int w, h;              // client size in dialog units
    std::vector<ControlTemplate> controls;
};

// Template 102, the main dialog.
const DialogTemplate& MainDialogTemplate();
// Template 100, the about box.
const DialogTemplate& AboutBoxTemplate();

// The COM list's entries: "COM1".."COM99" and one empty entry.
QStringList ComListEntries();
// The MCU list's eleven entries.
QStringList McuListEntries();

// The dialog font: an 8-point sans serif face standing in for "MS Sans Serif".
QFont DialogFont();

// Dialog units to pixels, as the dialog manager converts them: the base
// units are the average character width (the width of the 52 letters A-Z,
// a-z, halved twice with the rounding the dialog manager uses) and the
// character height of the dialog font.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int baseX, int baseY) : m_baseX(baseX), m_baseY(baseY) {}
    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }
    int X(int du) const;   // horizontal dialog units to pixels
    int Y(int du) const;   // vertical dialog units to pixels
    QRect Rect(int x, int y, int w, int h) const;

    // (width of the 52 letters / 26 + 1) / 2: the average width rounded.
    static int AverageWidthFromLetters(int lettersWidth);

private:
    int m_baseX;
    int m_baseY;
};

} // namespace quillet::gui
