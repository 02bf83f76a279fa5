#pragma once

#include <QColor>
#include <QPalette>

namespace velmora {

// The colour of a failure message under a field: red, as messages are, but deepened
// (lightened on a dark palette) until it reads at 4.5:1 (relative luminances, as
// WCAG reckons them) on every ground a field sits on: the window, the base, and the
// faint fill of the text colour that grouped boxes lay over the window.
class MessageColor {
public:
    static QColor readable(const QPalette& palette);
    // The relative luminance of opaque `color`, as WCAG reckons it: 0 for black, 1 for white.
    static qreal luminance(const QColor& color);
    // The contrast of opaque `a` and `b`: 1 for none, 21 for black on white.
    static qreal contrast(const QColor& a, const QColor& b);

    static constexpr qreal minimumContrast = 4.5;
    // The opacity of the text colour that grouped boxes fill themselves with.
    static constexpr qreal groupedFillOpacity = 0.06;
};

} // namespace velmora
