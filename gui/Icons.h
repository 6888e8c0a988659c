// The program's icons on Qt (the drawings are dialog/IconArt's): 128 the
// application, 133 the port closed, 134 the port open.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace quillet::gui {

// Icon `iconId` (128, 133 or 134) at `size` x `size` pixels; a null pixmap
// for any other id.
QPixmap DrawIcon(int iconId, int size = 32);
// The application icon at the usual sizes.
QIcon AppIcon();

} // namespace quillet::gui
