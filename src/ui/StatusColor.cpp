#include "StatusColor.h"

namespace kestrel {

namespace {

QColor withAlpha(QColor color, double alpha) {
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}

} // namespace

QColor semanticQColor(SemanticColor color, const QPalette& palette) {
    const QColor text = palette.color(QPalette::Active, QPalette::WindowText);
    switch (color) {
    case SemanticColor::Label:
        return withAlpha(text, 0.85);
    case SemanticColor::SecondaryLabel:
        return withAlpha(text, 0.55);
    case SemanticColor::TertiaryLabel:
        return withAlpha(text, 0.30);
    case SemanticColor::Separator:
        return withAlpha(text, 0.12);
    case SemanticColor::ControlBackground:
        return palette.color(QPalette::Active, QPalette::Base);
    }
    return text;
}

QColor statusQColor(StatusColor color, const QPalette& palette) {
    switch (color) {
    case StatusColor::Green:
        return QColor(0x34, 0xc7, 0x59);
    case StatusColor::Orange:
        return QColor(0xff, 0x95, 0x00);
    case StatusColor::Red:
        return QColor(0xff, 0x3b, 0x30);
    case StatusColor::Secondary:
        break;
    }
    return semanticQColor(SemanticColor::SecondaryLabel, palette);
}

} // namespace kestrel
