// Writes the icon files that are installed with the application, drawn by
// the same code that draws its icons at run time:
//
//     kestrel-render-icons icons <folder>
//         <folder>/hicolor/<n>x<n>/apps/kestrel-agent.png   (freedesktop theme)
//         <folder>/KestrelAgent.iconset/icon_*.png          (input of iconutil)
//         <folder>/kestrel-agent.svg, <folder>/printer-glyph.svg
//     kestrel-render-icons tray-preview <file.png>
//         the tray glyph in every status colour at 16 to 44 pixels, on a
//         light and a dark panel, each pixel shown as 3 × 3
#include "ui/Icons.h"
#include "ui/StatusColor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QString>
#include <cstdio>

using namespace kestrel;

namespace {

constexpr int themeSizes[] = {16, 22, 24, 32, 48, 64, 128, 256, 512};
constexpr int iconsetSizes[] = {16, 32, 128, 256, 512};

bool writeImage(const QImage& image, const QString& path) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath()) || !image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

bool writeFile(const QByteArray& data, const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

bool writeIcons(const QString& folder) {
    bool ok = true;
    for (const int size : themeSizes) {
        ok &= writeImage(
            renderApplicationIcon(size),
            QStringLiteral("%1/hicolor/%2x%2/apps/kestrel-agent.png").arg(folder).arg(size));
    }
    for (const int size : iconsetSizes) {
        const QString stem =
            QStringLiteral("%1/KestrelAgent.iconset/icon_%2x%2").arg(folder).arg(size);
        ok &= writeImage(renderApplicationIcon(size), stem + QStringLiteral(".png"));
        ok &= writeImage(renderApplicationIcon(2 * size), stem + QStringLiteral("@2x.png"));
    }
    ok &= writeFile(applicationIconSvg(), folder + QStringLiteral("/kestrel-agent.svg"));
    ok &= writeFile(printerGlyphSvg(statusQColor(StatusColor::Green, QPalette())),
                    folder + QStringLiteral("/printer-glyph.svg"));
    return ok;
}

bool writeTrayPreview(const QString& path) {
    constexpr int sizes[] = {16, 22, 24, 32, 44};
    constexpr StatusColor colors[] = {StatusColor::Secondary, StatusColor::Orange,
                                      StatusColor::Green, StatusColor::Red};
    const QColor panels[] = {QColor(0xf2, 0xf2, 0xf2), QColor(0x2b, 0x2b, 0x2b)};
    constexpr int zoom = 3;
    constexpr int cell = 56 * zoom;
    QImage sheet(cell * std::size(sizes), cell * std::size(colors) * std::size(panels),
                 QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&sheet);
    int row = 0;
    for (const QColor& panel : panels) {
        for (const StatusColor color : colors) {
            painter.fillRect(0, row * cell, sheet.width(), cell, panel);
            int column = 0;
            for (const int size : sizes) {
                // The colours exactly as the application tints its tray item.
                const QImage glyph = renderPrinterGlyph(size, statusQColor(color, QPalette()))
                                         .scaled(size * zoom, size * zoom);
                painter.drawImage(column * cell + (cell - size * zoom) / 2,
                                  row * cell + (cell - size * zoom) / 2, glyph);
                ++column;
            }
            ++row;
        }
    }
    painter.end();
    return writeImage(sheet, path);
}

} // namespace

int main(int argc, char* argv[]) {
    const QString mode = argc == 3 ? QString::fromLocal8Bit(argv[1]) : QString();
    const QString target = argc == 3 ? QString::fromLocal8Bit(argv[2]) : QString();
    if (mode == u"icons")
        return writeIcons(target) ? 0 : 1;
    if (mode == u"tray-preview") {
        // With an application object the secondary colour comes from the
        // default palette, as in the running application.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        QGuiApplication application(argc, argv);
        return writeTrayPreview(target) ? 0 : 1;
    }
    std::fprintf(stderr, "usage: %s icons <folder> | tray-preview <file.png>\n", argv[0]);
    return 2;
}
