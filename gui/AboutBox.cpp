#include "gui/AboutBox.h"

#include <QLabel>
#include <QPushButton>

#include "dialog/Resources.h"
#include "gui/DialogTemplate.h"
#include "gui/Icons.h"

namespace quillet::gui {

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
    const DialogTemplate& t = AboutBoxTemplate();
    setFont(DialogFont());
    setWindowTitle(t.caption);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    const DialogUnits du(font());
    setFixedSize(du.X(t.w), du.Y(t.h));
    for (const ControlTemplate& c : t.controls) {
        const QRect r = du.Rect(c.x, c.y, c.w, c.h);
        QWidget* w = nullptr;
        if (c.kind == ControlKind::StaticIcon) {
            auto* icon = new QLabel(this);
            // An icon static takes the icon's own size.
            icon->setPixmap(DrawIcon(IDR_MAINFRAME, 32));
            icon->setGeometry(r.x(), r.y(), 32, 32);
            w = icon;
        } else if (c.kind == ControlKind::StaticText) {
            auto* label = new QLabel(c.caption, this);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setGeometry(r);
            w = label;
        } else {
            auto* ok = new QPushButton(c.caption, this);
            ok->setDefault(true);
            ok->setGeometry(r);
            connect(ok, &QPushButton::clicked, this, &QDialog::accept);
            w = ok;
        }
        w->setProperty("ctrlId", c.id);
    }
}

} // namespace quillet::gui
