#include "ui/Icons.h"
#include "ui/StatusColor.h"

#include <QFile>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QTest>
#include <cmath>

using namespace kestrel;

namespace {

const QString sourceIcons = QStringLiteral(KESTREL_SOURCE_ICONS);
constexpr int traySizes[] = {16, 20, 22, 24, 32, 40, 44};

QColor trayColor(StatusColor color) {
    return statusQColor(color, QPalette());
}

double luminance(const QColor& color) {
    const auto linear = [](double c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF()) +
           0.0722 * linear(color.blueF());
}

double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// A premultiplied pixel laid over an opaque panel.
QColor over(QRgb pixel, const QColor& panel) {
    const double a = qAlpha(pixel) / 255.0;
    return QColor::fromRgbF(static_cast<float>(qRed(pixel) / 255.0 + (1 - a) * panel.redF()),
                            static_cast<float>(qGreen(pixel) / 255.0 + (1 - a) * panel.greenF()),
                            static_cast<float>(qBlue(pixel) / 255.0 + (1 - a) * panel.blueF()));
}

// The pixels alone, whatever the format and pixel ratio they came with.
QImage premultiplied(const QImage& image) {
    QImage pixels = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    pixels.setDevicePixelRatio(1.0);
    return pixels;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// SVG path data as the icon files write it (moves, lines, circular arcs of
// less than half a turn, closes), drawn with Qt's own arcs rather than the
// curves the application draws, so the two are worked out independently.
QPainterPath parsePathData(const QString& data) {
    QPainterPath path;
    static const QRegularExpression command(QStringLiteral("([MLAZ])([^MLAZ]*)"));
    static const QRegularExpression separators(QStringLiteral("[ ,]+"));
    for (const auto& match : command.globalMatch(data)) {
        QList<double> n;
        for (const QString& field : match.captured(2).split(separators, Qt::SkipEmptyParts))
            n.append(field.toDouble());
        const QChar op = match.captured(1).at(0);
        if (op == u'M' && n.size() == 2) {
            path.moveTo(n[0], n[1]);
        } else if (op == u'L' && n.size() == 2) {
            path.lineTo(n[0], n[1]);
        } else if (op == u'A' && n.size() == 7) {
            const QPointF from = path.currentPosition();
            const QPointF to(n[5], n[6]);
            const double r = n[0];
            const QPointF chord = to - from;
            const double half = std::hypot(chord.x(), chord.y()) / 2;
            const QPointF normal = QPointF(-chord.y(), chord.x()) / (2 * half);
            const double reach = std::sqrt(std::max(0.0, r * r - half * half));
            // Of the two centres, the one around which the arc turns the way
            // the sweep flag says (1: clockwise on screen).
            QPointF centre = (from + to) / 2 + normal * reach;
            const auto cross = [&](QPointF c) {
                const QPointF a = from - c;
                const QPointF b = to - c;
                return a.x() * b.y() - a.y() * b.x();
            };
            if ((cross(centre) > 0) != (n[4] == 1))
                centre = (from + to) / 2 - normal * reach;
            const auto angle = [&](QPointF p) {
                return qRadiansToDegrees(std::atan2(-(p.y() - centre.y()), p.x() - centre.x()));
            };
            double sweep = angle(to) - angle(from);
            while (sweep > 180)
                sweep -= 360;
            while (sweep <= -180)
                sweep += 360;
            path.arcTo(QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r), angle(from), sweep);
        } else if (op == u'Z' && n.isEmpty()) {
            path.closeSubpath();
        } else {
            qWarning() << "unexpected path command" << match.captured(0);
            return {};
        }
    }
    return path;
}

QString attribute(const QByteArray& svg, const QString& pattern) {
    return QRegularExpression(pattern).match(QString::fromUtf8(svg)).captured(1);
}

} // namespace

class TestPackagingIcons : public QObject {
    Q_OBJECT

private slots:
    // A status glyph whose straight edges fell between pixels would be drawn
    // blurred: every pixel on the middle row and in the middle third of the
    // columns (which cross straight edges only) is either empty or solid.
    void trayGlyphEdgesFallOnWholePixels_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<QColor>("color");
        for (const int size : traySizes) {
            QTest::addRow("green %d", size) << size << trayColor(StatusColor::Green);
            QTest::addRow("orange %d", size) << size << trayColor(StatusColor::Orange);
            QTest::addRow("red %d", size) << size << trayColor(StatusColor::Red);
        }
    }
    void trayGlyphEdgesFallOnWholePixels() {
        QFETCH(int, size);
        QFETCH(QColor, color);
        const QImage glyph = premultiplied(renderPrinterGlyph(size, color));
        QCOMPARE(glyph.size(), QSize(size, size));
        const auto solidOrEmpty = [&](int x, int y) {
            const int alpha = qAlpha(glyph.pixel(x, y));
            return alpha == 0 || alpha == 255;
        };
        for (int x = 0; x < size; ++x)
            QVERIFY2(solidOrEmpty(x, size / 2), qPrintable(QStringLiteral("x=%1").arg(x)));
        for (int x = size / 3; x <= 2 * size / 3; ++x) {
            for (int y = 0; y < size; ++y)
                QVERIFY2(solidOrEmpty(x, y), qPrintable(QStringLiteral("x=%1 y=%2").arg(x).arg(y)));
        }
    }

    // Walking in from each side along the middle row and column, where the
    // glyph begins its border, or the fill just inside it, stands out from
    // the panel (3:1, the usual floor for graphics).
    void trayGlyphStandsOutOnLightAndDarkPanels_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<QColor>("color");
        QTest::addColumn<QColor>("panel");
        const std::pair<const char*, StatusColor> colors[] = {{"starting", StatusColor::Orange},
                                                              {"ready", StatusColor::Green},
                                                              {"failed", StatusColor::Red},
                                                              {"unknown", StatusColor::Secondary}};
        const std::pair<const char*, QColor> panels[] = {{"white", QColor(Qt::white)},
                                                         {"light", QColor(0xf6, 0xf5, 0xf4)},
                                                         {"dark", QColor(0x30, 0x30, 0x30)},
                                                         {"black", QColor(Qt::black)}};
        for (const int size : {16, 22, 32, 44}) {
            for (const auto& [colorName, color] : colors) {
                for (const auto& [panelName, panel] : panels)
                    QTest::addRow("%s on %s %d", colorName, panelName, size)
                        << size << trayColor(color) << panel;
            }
        }
    }
    void trayGlyphStandsOutOnLightAndDarkPanels() {
        QFETCH(int, size);
        QFETCH(QColor, color);
        QFETCH(QColor, panel);
        const QImage glyph = premultiplied(renderPrinterGlyph(size, color));
        const int border = std::max(1, static_cast<int>(std::lround(size / 22.0)));
        const QPoint middle(size / 2, size / 2);
        const std::pair<QPoint, QPoint> walks[] = {{QPoint(0, middle.y()), QPoint(1, 0)},
                                                   {QPoint(size - 1, middle.y()), QPoint(-1, 0)},
                                                   {QPoint(middle.x(), 0), QPoint(0, 1)},
                                                   {QPoint(middle.x(), size - 1), QPoint(0, -1)}};
        for (const auto& [start, step] : walks) {
            QPoint p = start;
            while (glyph.rect().contains(p) && qAlpha(glyph.pixel(p)) == 0)
                p += step;
            QVERIFY2(glyph.rect().contains(p), "the walk met no glyph");
            double best = 0;
            for (int i = 0; i <= border && glyph.rect().contains(p); ++i, p += step)
                best = std::max(best, contrast(over(glyph.pixel(p), panel), panel));
            QVERIFY2(best >= 3.0, qPrintable(QStringLiteral("walk from %1,%2: contrast %3")
                                                 .arg(start.x())
                                                 .arg(start.y())
                                                 .arg(best)));
        }
    }

    // Panels and window headers ask for sizes of their own, at HiDPI twice
    // as many pixels: each is drawn at that size, not scaled from another.
    void iconsAreDrawnAtEverySizeAskedFor_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<qreal>("ratio");
        QTest::newRow("16") << 16 << 1.0;
        QTest::newRow("18") << 18 << 1.0;
        QTest::newRow("29") << 29 << 1.0;
        QTest::newRow("58 header") << 58 << 1.0;
        QTest::newRow("22 at 2x") << 22 << 2.0;
        QTest::newRow("58 header at 2x") << 58 << 2.0;
    }
    void iconsAreDrawnAtEverySizeAskedFor() {
        QFETCH(int, size);
        QFETCH(qreal, ratio);
        const int pixels = qRound(size * ratio);
        const QColor green = trayColor(StatusColor::Green);

        const QPixmap glyph = printerGlyph(green).pixmap(QSize(size, size), ratio);
        QCOMPARE(glyph.size(), QSize(pixels, pixels));
        QCOMPARE(glyph.deviceIndependentSize(), QSizeF(size, size));
        QCOMPARE(premultiplied(glyph.toImage()), premultiplied(renderPrinterGlyph(pixels, green)));

        const QPixmap tile = applicationIcon().pixmap(QSize(size, size), ratio);
        QCOMPARE(tile.size(), QSize(pixels, pixels));
        QCOMPARE(premultiplied(tile.toImage()), premultiplied(renderApplicationIcon(pixels)));
    }

    void svgFilesAreTheCurrentDrawings() {
        QCOMPARE(readFile(sourceIcons + QStringLiteral("/kestrel-agent.svg")),
                 applicationIconSvg());
        QCOMPARE(readFile(sourceIcons + QStringLiteral("/printer-glyph.svg")),
                 printerGlyphSvg(trayColor(StatusColor::Green)));
    }

    // The SVG icon, drawn from its own text, covers exactly the pixels the
    // application paints white at 64 pixels, where every edge of the design
    // lies on a pixel boundary.
    void svgShowsTheSameDesignAsTheApplication() {
        const QByteArray svg = readFile(sourceIcons + QStringLiteral("/kestrel-agent.svg"));
        const QString data = attribute(svg, QStringLiteral(" d=\"([^\"]+)\""));
        const QRegularExpressionMatch placed =
            QRegularExpression(QStringLiteral("transform=\"translate\\(([0-9.]+) \\1\\) "
                                              "scale\\(([0-9.]+)\\) translate\\(-12 -12\\)\""))
                .match(QString::fromUtf8(svg));
        QVERIFY(placed.hasMatch());
        const double offset = placed.captured(1).toDouble();
        const double scale = placed.captured(2).toDouble();
        const QPainterPath path = parsePathData(data);
        QVERIFY(!path.isEmpty());
        QVERIFY(svg.contains("viewBox=\"0 0 512 512\""));

        constexpr int size = 64;
        QImage mask(size, size, QImage::Format_ARGB32_Premultiplied);
        mask.fill(Qt::transparent);
        {
            QPainter painter(&mask);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.scale(size / 512.0, size / 512.0);
            painter.translate(offset, offset);
            painter.scale(scale, scale);
            painter.translate(-12, -12);
            painter.fillPath(path, Qt::white);
        }
        const QImage icon = premultiplied(renderApplicationIcon(size));
        int inside = 0;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const int coverage = qAlpha(mask.pixel(x, y));
                const bool white = icon.pixel(x, y) == qRgba(255, 255, 255, 255);
                if (coverage == 255) {
                    ++inside;
                    QVERIFY2(white, qPrintable(QStringLiteral("%1,%2 not painted").arg(x).arg(y)));
                } else if (coverage == 0) {
                    QVERIFY2(!white, qPrintable(QStringLiteral("%1,%2 painted").arg(x).arg(y)));
                }
            }
        }
        QVERIFY(inside > size * size / 8);

        // The glyph file draws the same outline.
        const QByteArray glyph = readFile(sourceIcons + QStringLiteral("/printer-glyph.svg"));
        QCOMPARE(attribute(glyph, QStringLiteral(" d=\"([^\"]+)\"")), data);
    }
};

QTEST_MAIN(TestPackagingIcons)
#include "tst_packaging_icons.moc"
