// The about box, template 100.
#pragma once

#include <QDialog>

namespace quillet::gui {

class AboutBox : public QDialog {
public:
    explicit AboutBox(QWidget* parent = nullptr);
};

} // namespace quillet::gui
