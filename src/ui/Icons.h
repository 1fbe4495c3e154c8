#pragma once

#include <QByteArray>
#include <QColor>
#include <QIcon>
#include <QImage>

namespace kestrel {

// The tray glyph: a printer filled with `color` inside a thin outline that
// contrasts with it, so it reads on light and dark panels alike. Every size a
// panel asks for is drawn afresh with its edges on whole pixels.
QIcon printerGlyph(const QColor& color);

// The application's own icon: the printer in white on a rounded blue tile.
QIcon applicationIcon();

// The same drawings as images of `pixels` × `pixels`, for the icon files
// made at build time. They need no application object.
QImage renderPrinterGlyph(int pixels, const QColor& color);
QImage renderApplicationIcon(int pixels);

// The outline colour drawn around a glyph of `fill`.
QColor glyphOutlineColor(const QColor& fill);

// The same designs as scalable SVG documents (the glyph in the ready colour).
QByteArray printerGlyphSvg(const QColor& color);
QByteArray applicationIconSvg();

} // namespace kestrel
