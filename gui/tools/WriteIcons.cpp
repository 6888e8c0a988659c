// Writes the application icon (icon 128) as PNG files for the desktop's
// hicolor icon theme: DIR/NxN/apps/quillet.png for each size N given.
// Run at build time; the installed dialog draws its icons itself.
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dialog/Resources.h"
#include "gui/Icons.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: quillet_write_icons DIR SIZE...\n", stderr);
        return 2;
    }
    // Drawing needs no screen.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 16 || size > 1024) {
            std::fprintf(stderr, "quillet_write_icons: bad size %s\n", argv[i]);
            return 2;
        }
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(dir).arg(size);
        const QString file = folder + QStringLiteral("/quillet.png");
        if (!QDir().mkpath(folder) ||
            !quillet::gui::DrawIcon(quillet::IDR_MAINFRAME, size).save(file, "PNG")) {
            std::fprintf(stderr, "quillet_write_icons: cannot write %s\n", file.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
