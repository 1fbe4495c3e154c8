#include "Icons.h"

#include <QHash>
#include <QIconEngine>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QString>
#include <cmath>
#include <functional>
#include <span>

namespace kestrel {

namespace {

// The printer is drawn on a 24-unit grid whose measures are multiples of 1.5,
// so that at 16, 32, 48 and 64 pixels every edge already falls on a pixel
// boundary; at other sizes the edges are rounded to whole pixels.
constexpr qreal gridCentre = 12;

struct Corner {
    qreal x;
    qreal y;
    qreal radius;
};

// Three separate outlines, each clockwise: the paper waiting on top, the body
// with a notch open at its bottom, and the printed sheet standing in the
// notch. Kept apart by gaps, so each gets a border of its own and the gaps
// read as lines even at 16 pixels.
constexpr Corner paperIn[] = {{6, 3, 1}, {18, 3, 1}, {18, 7.5, 1}, {6, 7.5, 1}};
constexpr Corner body[] = {{3, 9, 1.5},     {21, 9, 1.5},   {21, 18, 1.5}, {19.5, 18, 0},
                           {19.5, 13.5, 0}, {4.5, 13.5, 0}, {4.5, 18, 0},  {3, 18, 1.5}};
// Square where the sheet stands in the notch, so the gap around it is even
// and its border fills the gap at every size.
constexpr Corner sheet[] = {{6, 15, 0}, {18, 15, 0}, {18, 21, 1}, {6, 21, 1}};
constexpr std::span<const Corner> printerOutlines[] = {paperIn, body, sheet};

// Quarter circles as cubic curves: the control points lie this share of the
// radius along the tangents.
constexpr qreal arcHandle = 0.5522847498;

const QColor tileTop(0x2f, 0x6f, 0xd6);
const QColor tileBottom(0x1b, 0x3f, 0x8f);
constexpr qreal tileInset = 1.0 / 16;      // of the icon's side
constexpr qreal tileRadius = 0.225;        // of the tile's side
constexpr qreal tileGlyphScale = 1.0 / 32; // grid units per pixel of the icon's side

// Grid units to output coordinates around `centre`; with `snap`, rounded to
// whole pixels from the centre outwards, so the drawing stays symmetric.
struct Mapping {
    qreal centre;
    qreal scale;
    bool snap;

    qreal operator()(qreal unit) const {
        const qreal offset = (unit - gridCentre) * scale;
        return centre + (snap ? std::round(offset) : offset);
    }
};

QPointF direction(QPointF from, QPointF to) {
    const QPointF d = to - from;
    const qreal length = std::hypot(d.x(), d.y());
    return length > 0 ? d / length : QPointF();
}

// Walks one outline: calls `line(to)` for straight runs and `arc(to, corner,
// radius, clockwise)` for rounded corners; the first point is `start`.
void walkOutline(std::span<const Corner> corners, const Mapping& map,
                 const std::function<void(QPointF)>& start,
                 const std::function<void(QPointF)>& line,
                 const std::function<void(QPointF, QPointF, qreal, bool)>& arc) {
    const auto point = [&](std::size_t i) {
        const Corner& c = corners[i % corners.size()];
        return QPointF(map(c.x), map(c.y));
    };
    const std::size_t n = corners.size();
    QPointF last;
    for (std::size_t i = 0; i < n; ++i) {
        const QPointF here = point(i);
        const QPointF in = direction(point(i + n - 1), here);
        const QPointF out = direction(here, point(i + 1));
        const qreal radius = corners[i].radius * map.scale;
        const QPointF before = here - in * radius;
        if (i == 0)
            start(before);
        else if (before != last)
            line(before);
        last = radius > 0 ? here + out * radius : before;
        if (radius > 0)
            arc(here + out * radius, here, radius, in.x() * out.y() - in.y() * out.x() > 0);
    }
}

QPainterPath printerPath(const Mapping& map) {
    QPainterPath path;
    for (const auto outline : printerOutlines) {
        QPointF previous;
        walkOutline(
            outline, map,
            [&](QPointF to) {
                path.moveTo(to);
                previous = to;
            },
            [&](QPointF to) {
                path.lineTo(to);
                previous = to;
            },
            [&](QPointF to, QPointF corner, qreal, bool) {
                path.cubicTo(previous + (corner - previous) * arcHandle,
                             to + (corner - to) * arcHandle, to);
                previous = to;
            });
        path.closeSubpath();
    }
    return path;
}

QString number(qreal value) {
    QString text = QString::number(value, 'f', 3);
    while (text.endsWith(u'0'))
        text.chop(1);
    if (text.endsWith(u'.'))
        text.chop(1);
    return text == u"-0" ? QStringLiteral("0") : text;
}

QString point(QPointF p) {
    return number(p.x()) + u',' + number(p.y());
}

// The printer in grid units as SVG path data.
QString printerPathData() {
    const Mapping units{gridCentre, 1, false};
    QStringList commands;
    for (const auto outline : printerOutlines) {
        walkOutline(
            outline, units, [&](QPointF to) { commands << u'M' + point(to); },
            [&](QPointF to) { commands << u'L' + point(to); },
            [&](QPointF to, QPointF, qreal radius, bool clockwise) {
                commands << QStringLiteral("A%1,%1 0 0 %2 %3")
                                .arg(number(radius), clockwise ? u"1" : u"0", point(to));
            });
        commands << QStringLiteral("Z");
    }
    return commands.join(u' ');
}

// Wide enough to be seen, never wider than a pixel at tray sizes.
int outlinePixels(int pixels) {
    return std::max(1, static_cast<int>(std::lround(pixels / 22.0)));
}

qreal relativeLuminance(const QColor& color) {
    const auto linear = [](float channel) {
        return channel <= 0.04045f ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = color.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) +
           0.0722 * linear(rgb.blueF());
}

QImage transparentImage(int pixels) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// Draws on demand at exactly the size asked for, so no size is a scaled copy
// of another; keeps what it drew.
class DrawnIconEngine : public QIconEngine {
public:
    DrawnIconEngine(std::function<QImage(int)> draw, QList<int> sizes)
        : m_draw(std::move(draw)), m_sizes(std::move(sizes)) {}

    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int side = std::min(size.width(), size.height());
        if (side <= 0)
            return {};
        auto cached = m_cache.constFind(side);
        if (cached == m_cache.constEnd())
            cached = m_cache.insert(side, QPixmap::fromImage(m_draw(side)));
        if (size.width() == size.height())
            return *cached;
        QPixmap padded(size);
        padded.fill(Qt::transparent);
        QPainter painter(&padded);
        painter.drawPixmap((size.width() - side) / 2, (size.height() - side) / 2, *cached);
        return padded;
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap image = pixmap((QSizeF(rect.size()) * ratio).toSize(), mode, state);
        image.setDevicePixelRatio(ratio);
        painter->drawPixmap(rect.topLeft(), image);
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int side = std::min(size.width(), size.height());
        return {side, side};
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        QList<QSize> sizes;
        for (const int side : m_sizes)
            sizes.append(QSize(side, side));
        return sizes;
    }

    QIconEngine* clone() const override { return new DrawnIconEngine(*this); }
    QString key() const override { return QStringLiteral("KestrelDrawnIcon"); }

private:
    std::function<QImage(int)> m_draw;
    QList<int> m_sizes;
    QHash<int, QPixmap> m_cache;
};

} // namespace

QColor glyphOutlineColor(const QColor& fill) {
    QColor opaque = fill.toRgb();
    opaque.setAlpha(255);
    // A dark border under light fills shows the shape on light panels; the
    // fill itself shows it on dark ones. Dark fills get a white border.
    return relativeLuminance(opaque) > 0.2 ? opaque.darker(300) : QColor(Qt::white);
}

QImage renderPrinterGlyph(int pixels, const QColor& color) {
    QImage image = transparentImage(pixels);
    const QPainterPath path = printerPath({pixels / 2.0, pixels / 24.0, true});
    QColor fill = color.toRgb();
    const qreal opacity = fill.alphaF();
    fill.setAlpha(255);

    // Drawn opaque in a layer and then faded as a whole, so a translucent
    // colour does not let the border show through the fill.
    QImage layer = transparentImage(pixels);
    {
        QPainter painter(&layer);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.strokePath(path, QPen(glyphOutlineColor(fill), 2.0 * outlinePixels(pixels),
                                      Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
        painter.fillPath(path, fill);
    }
    QPainter painter(&image);
    painter.setOpacity(opacity);
    painter.drawImage(0, 0, layer);
    return image;
}

QImage renderApplicationIcon(int pixels) {
    QImage image = transparentImage(pixels);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal inset = pixels * tileInset;
    const QRectF tile(inset, inset, pixels - 2 * inset, pixels - 2 * inset);
    QLinearGradient gradient(0, tile.top(), 0, tile.bottom());
    gradient.setColorAt(0, tileTop);
    gradient.setColorAt(1, tileBottom);
    painter.setPen(Qt::NoPen);
    painter.setBrush(gradient);
    painter.drawRoundedRect(tile, tile.width() * tileRadius, tile.width() * tileRadius);
    painter.fillPath(printerPath({pixels / 2.0, pixels * tileGlyphScale, true}), Qt::white);
    return image;
}

QIcon printerGlyph(const QColor& color) {
    return QIcon(new DrawnIconEngine([color](int side) { return renderPrinterGlyph(side, color); },
                                     {16, 20, 22, 24, 32, 40, 44, 48, 64}));
}

QIcon applicationIcon() {
    return QIcon(new DrawnIconEngine(renderApplicationIcon,
                                     {16, 22, 24, 32, 48, 58, 64, 116, 128, 256, 512}));
}

QByteArray printerGlyphSvg(const QColor& color) {
    const QString data = printerPathData();
    return QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"24\" height=\"24\" "
                          "viewBox=\"0 0 24 24\">\n"
                          "  <path d=\"%1\" fill=\"none\" stroke=\"%2\" stroke-width=\"2\" "
                          "stroke-linejoin=\"round\"/>\n"
                          "  <path d=\"%1\" fill=\"%3\"/>\n"
                          "</svg>\n")
        .arg(data, glyphOutlineColor(color).name(), color.name())
        .toUtf8();
}

QByteArray applicationIconSvg() {
    constexpr int side = 512;
    const qreal inset = side * tileInset;
    const qreal tile = side - 2 * inset;
    const qreal scale = side * tileGlyphScale;
    return QStringLiteral(
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" "
               "viewBox=\"0 0 %1 %1\">\n"
               "  <defs>\n"
               "    <linearGradient id=\"tile\" gradientUnits=\"userSpaceOnUse\" x1=\"0\" "
               "y1=\"%2\" x2=\"0\" y2=\"%3\">\n"
               "      <stop offset=\"0\" stop-color=\"%4\"/>\n"
               "      <stop offset=\"1\" stop-color=\"%5\"/>\n"
               "    </linearGradient>\n"
               "  </defs>\n"
               "  <rect x=\"%2\" y=\"%2\" width=\"%6\" height=\"%6\" rx=\"%7\" "
               "fill=\"url(#tile)\"/>\n"
               "  <path transform=\"translate(%8 %8) scale(%9) translate(-12 -12)\" "
               "d=\"%10\" fill=\"#ffffff\"/>\n"
               "</svg>\n")
        .arg(QString::number(side), number(inset), number(inset + tile), tileTop.name(),
             tileBottom.name(), number(tile), number(tile * tileRadius), number(side / 2.0),
             number(scale))
        .arg(printerPathData())
        .toUtf8();
}

} // namespace kestrel
