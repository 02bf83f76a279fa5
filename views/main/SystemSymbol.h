#pragma once

#include <QColor>
#include <QIcon>
#include <QRectF>
#include <QSize>

class QPainter;

namespace velmora {

// The small symbols of the main window, drawn for this project with QPainter so
// they look the same on every desktop theme and need no image files.
class SystemSymbol {
public:
    enum class Name {
        personFill,            // a head and shoulders
        calendar,              // a page with a binding strip
        clock,                 // a dial with two hands
        pinFill,               // a pushpin
        recordCircle,          // a ring around a dot
        squareStack,           // three stacked layers (a project)
        squareFill,            // stop
        pauseFill,             // pause
        playFill,              // play
        hourglass,             // waiting
        chevronBackwardCircle, // a ring around a chevron pointing back
        chevronForwardCircle,  // a ring around a chevron pointing forward
    };

    // Draws the symbol scaled to fit `rect` (keeping its square shape, centred).
    static void paint(QPainter& painter, const QRectF& rect, Name name, const QColor& color);

    // The symbol as an icon of `size` logical pixels (drawn at 2x for sharp scaling).
    static QIcon icon(Name name, const QColor& color, QSize size = QSize(16, 16));
};

} // namespace velmora
