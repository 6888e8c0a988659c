#include "gui/Icons.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "app/Resources.h"

namespace quillet::gui {

namespace {

// A monitor showing colour bars, with a quill across its corner.
void PaintApplication(QPainter& p) {
    // Screen housing.
    p.setPen(QPen(QColor(30, 30, 40), 1.2));
    p.setBrush(QColor(60, 64, 76));
    p.drawRoundedRect(QRectF(2, 4, 28, 20), 2.5, 2.5);
    // Colour bars in the screen.
    static const QColor bars[] = {QColor(235, 235, 235), QColor(235, 235, 0), QColor(0, 235, 235),
                                  QColor(0, 235, 0),     QColor(235, 0, 235), QColor(235, 0, 0),
                                  QColor(0, 0, 235)};
    const QRectF screen(4.5, 6.5, 23, 15);
    const qreal w = screen.width() / 7;
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 7; ++i)
        p.fillRect(QRectF(screen.left() + i * w, screen.top(), w + 0.3, screen.height()), bars[i]);
    // Stand.
    p.setBrush(QColor(60, 64, 76));
    p.drawRect(QRectF(13, 24, 6, 3));
    p.drawRoundedRect(QRectF(8, 27, 16, 2.5), 1, 1);
    // The quill: a feather from the lower right up to the top right.
    QPainterPath feather;
    feather.moveTo(17, 30);
    feather.cubicTo(20, 20, 25, 8, 31, 1);
    feather.cubicTo(30, 9, 27, 18, 17, 30);
    p.setPen(QPen(QColor(90, 60, 20), 0.8));
    p.setBrush(QColor(250, 244, 225));
    p.drawPath(feather);
    p.drawLine(QPointF(17, 30), QPointF(28, 6));
}

// A nine-pin serial plug; `open` paints it live (green, with a spark),
// otherwise idle (grey, with a red bar across).
void PaintPort(QPainter& p, bool open) {
    const QColor shell = open ? QColor(40, 150, 60) : QColor(130, 130, 136);
    const QColor edge = open ? QColor(20, 90, 30) : QColor(70, 70, 76);
    // Trapezoid shell of the connector.
    QPainterPath body;
    body.moveTo(3, 9);
    body.lineTo(29, 9);
    body.lineTo(25, 23);
    body.lineTo(7, 23);
    body.closeSubpath();
    p.setPen(QPen(edge, 1.5));
    p.setBrush(shell);
    p.drawPath(body);
    // Pins: five over four.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(250, 250, 250));
    for (int i = 0; i < 5; ++i) p.drawEllipse(QPointF(8 + i * 4, 13.5), 1.3, 1.3);
    for (int i = 0; i < 4; ++i) p.drawEllipse(QPointF(10 + i * 4, 18.5), 1.3, 1.3);
    // Cable.
    p.setPen(QPen(edge, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(16, 23), QPointF(16, 30));
    if (open) {
        // Spark above the plug.
        QPolygonF bolt;
        bolt << QPointF(17, 0.5) << QPointF(12, 5) << QPointF(15.5, 5) << QPointF(13, 8.5)
             << QPointF(20, 3.5) << QPointF(16.5, 3.5) << QPointF(19, 0.5);
        p.setPen(QPen(QColor(160, 110, 0), 0.6));
        p.setBrush(QColor(255, 210, 0));
        p.drawPolygon(bolt);
    } else {
        p.setPen(QPen(QColor(210, 30, 30), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(5, 28), QPointF(27, 4));
    }
}

} // namespace

QPixmap DrawIcon(int iconId, int size) {
    if (iconId != IDR_MAINFRAME && iconId != IDI_PORT_CLOSED && iconId != IDI_PORT_OPEN)
        return {};
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);  // drawn on a 32 x 32 grid
    if (iconId == IDR_MAINFRAME)
        PaintApplication(p);
    else
        PaintPort(p, iconId == IDI_PORT_OPEN);
    return pm;
}

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(DrawIcon(IDR_MAINFRAME, size));
    return icon;
}

} // namespace quillet::gui
