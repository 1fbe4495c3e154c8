#pragma once

#include <QColor>
#include <QIcon>

namespace kestrel {

// The tray glyph: a filled printer in one colour, drawn at every size a panel
// may ask for so it stays crisp.
QIcon printerGlyph(const QColor& color);

// The application's own icon: the printer glyph on a rounded tile.
QIcon applicationIcon();

} // namespace kestrel
