#pragma once

#include <QColor>
#include <QPalette>

namespace kestrel {

enum class StatusColor { Secondary, Green, Orange, Red };

// Fixed system green, orange and red; secondary is the palette's dimmed text.
QColor statusQColor(StatusColor color, const QPalette& palette);

// Text and surface colours named by their role rather than their value, so
// the window follows light and dark palettes.
enum class SemanticColor { Label, SecondaryLabel, TertiaryLabel, Separator, ControlBackground };
QColor semanticQColor(SemanticColor color, const QPalette& palette);

} // namespace kestrel
