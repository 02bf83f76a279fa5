#pragma once

#include <QColor>
#include <QPainter>
#include <QRect>

#include <algorithm>

namespace velmora {

// Fills `rect` with `color` in bands of a few dozen lines. Qt's raster engine hands a fill of a
// hundred lines or more (a translucent one, or a line) to a pool of threads in parts and waits for
// them, and waking them costs more than the fill: a tall card or divider cost a scrolled page a
// millisecond or more that way.
inline void fillInBands(QPainter& painter, const QRect& rect, const QColor& color) {
    constexpr int band = 48;
    for (int top = rect.top(); top <= rect.bottom(); top += band) {
        painter.fillRect(QRect(rect.left(), top, rect.width(), std::min(band, rect.bottom() + 1 - top)),
                         color);
    }
}

} // namespace velmora
