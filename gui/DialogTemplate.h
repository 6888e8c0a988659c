// The dialog templates on Qt: the Qt dialog is built from the program's
// template tables; dialog units become pixels through DialogUnits, from the
// metrics of the dialog font.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>
#include <QStringList>
#include <vector>

#include "dialog/DialogTemplate.h"

namespace quillet::gui {

// The templates themselves are the program's own (dialog/DialogTemplate.h).
using quillet::AboutBoxTemplate;
using quillet::ControlKind;
using quillet::ControlTemplate;
using quillet::DialogTemplate;
using quillet::MainDialogTemplate;

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
