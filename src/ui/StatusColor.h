#pragma once

#include <QColor>
#include <QPalette>

namespace kestrel {

enum class StatusColor { Secondary, Green, Orange, Red };

// Fixed system green, orange and red; secondary is the palette's dimmed text.
QColor statusQColor(StatusColor color, const QPalette& palette);

} // namespace kestrel
