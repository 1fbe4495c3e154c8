#include "Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace kestrel {

namespace {

constexpr int glyphSizes[] = {16, 22, 24, 32, 44, 48, 64};
constexpr int tileSizes[] = {16, 32, 48, 58, 64, 116, 128, 256, 512};

// A printer in a 24-unit box: paper tray on top, body with a cut-out slot,
// the printed sheet coming out below.
void drawPrinter(QPainter& painter, const QRectF& box, const QColor& color) {
    painter.save();
    painter.translate(box.topLeft());
    painter.scale(box.width() / 24.0, box.height() / 24.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);

    QPainterPath body;
    body.addRoundedRect(QRectF(2, 8, 20, 10), 2.5, 2.5);
    QPainterPath slot;
    slot.addRect(QRectF(6, 15, 12, 3));
    painter.drawPath(body.subtracted(slot));
    painter.drawRoundedRect(QRectF(6, 2.5, 12, 4.5), 1, 1);
    painter.drawRoundedRect(QRectF(7, 16, 10, 6), 1, 1);
    painter.restore();
}

} // namespace

QIcon printerGlyph(const QColor& color) {
    QIcon icon;
    for (const int size : glyphSizes) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        drawPrinter(painter, QRectF(0, 0, size, size), color);
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon applicationIcon() {
    QIcon icon;
    for (const int size : tileSizes) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        QLinearGradient tile(0, 0, 0, size);
        tile.setColorAt(0, QColor(0x2f, 0x6f, 0xd6));
        tile.setColorAt(1, QColor(0x1b, 0x3f, 0x8f));
        painter.setPen(Qt::NoPen);
        painter.setBrush(tile);
        const qreal inset = size * 0.06;
        painter.drawRoundedRect(QRectF(inset, inset, size - 2 * inset, size - 2 * inset),
                                size * 0.22, size * 0.22);
        const qreal margin = size * 0.22;
        drawPrinter(painter, QRectF(margin, margin, size - 2 * margin, size - 2 * margin),
                    Qt::white);
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace kestrel
