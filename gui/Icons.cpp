#include "gui/Icons.h"

#include <QImage>

#include "dialog/IconArt.h"
#include "dialog/Resources.h"

namespace quillet::gui {

QPixmap DrawIcon(int iconId, int size) {
    const std::vector<std::uint32_t> pixels = RenderIcon(iconId, size);
    if (pixels.empty()) return {};
    QImage image(size, size, QImage::Format_ARGB32);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            image.setPixel(x, y, pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(size) +
                                        static_cast<std::size_t>(x)]);
    return QPixmap::fromImage(image);
}

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(DrawIcon(IDR_MAINFRAME, size));
    return icon;
}

} // namespace quillet::gui
