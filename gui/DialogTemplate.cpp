#include "gui/DialogTemplate.h"

#include <QFontMetrics>

namespace quillet::gui {

namespace {
QStringList ToQt(const std::vector<std::string>& entries) {
    QStringList list;
    for (const auto& e : entries) list << QString::fromStdString(e);
    return list;
}
} // namespace

QStringList ComListEntries() { return ToQt(quillet::ComListEntries()); }
QStringList McuListEntries() { return ToQt(quillet::McuListEntries()); }

QFont DialogFont() {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

int DialogUnits::AverageWidthFromLetters(int lettersWidth) { return (lettersWidth / 26 + 1) / 2; }

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics fm(font);
    m_baseX = AverageWidthFromLetters(
        fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")));
    m_baseY = fm.height();
}

// MulDiv(du, base, 4) and MulDiv(du, base, 8): rounded to nearest.
int DialogUnits::X(int du) const { return (du * m_baseX + 2) / 4; }
int DialogUnits::Y(int du) const { return (du * m_baseY + 4) / 8; }

QRect DialogUnits::Rect(int x, int y, int w, int h) const {
    // Position and size are converted each on its own, as the dialog
    // manager creates the controls of a template.
    return QRect(X(x), Y(y), X(w), Y(h));
}

} // namespace quillet::gui
