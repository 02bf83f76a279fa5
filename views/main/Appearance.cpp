#include "views/main/Appearance.h"

namespace velmora {

bool Appearance::isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

QColor Appearance::withOpacity(QColor color, qreal opacity) {
    color.setAlphaF(color.alphaF() * opacity);
    return color;
}

QColor Appearance::primary(const QPalette& palette) {
    return palette.color(QPalette::WindowText);
}

QColor Appearance::secondary(const QPalette& palette) {
    return withOpacity(primary(palette), 0.55);
}

QColor Appearance::tertiary(const QPalette& palette) {
    return withOpacity(primary(palette), 0.3);
}

QColor Appearance::quaternary(const QPalette& palette) {
    return withOpacity(primary(palette), 0.12);
}

QColor Appearance::quinary(const QPalette& palette) {
    return withOpacity(primary(palette), 0.06);
}

QColor Appearance::accent(const QPalette& palette) {
    return palette.color(QPalette::Active, QPalette::Highlight);
}

QColor Appearance::inactiveSelection(const QPalette& palette) {
    // A neutral fill: the row stays marked without claiming the accent colour.
    return isDark(palette) ? withOpacity(QColor(Qt::white), 0.15) : withOpacity(QColor(Qt::gray), 0.15);
}

QColor Appearance::focusIndicator(const QPalette& palette) {
    return withOpacity(accent(palette), 0.5);
}

} // namespace velmora
