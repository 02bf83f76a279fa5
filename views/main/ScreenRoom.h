#pragma once

#include <QRect>

class QWidget;

namespace velmora {

// What of a screen a window may take, leaving room for the frame the desktop draws around it
// (a title bar above, borders about): a window sized and placed within it is whole on screen,
// at any scale.
namespace ScreenRoom {

// Room for the frame's decorations, in the window's own units.
constexpr int decorationsLeft = 20;
constexpr int decorationsTop = 40;
constexpr int decorationsRight = 20;
constexpr int decorationsBottom = 20;

// `available` (a screen's available geometry) less the decorations.
QRect within(const QRect& available);
// The room of the screen `widget` is on (its parent's, for a sheet not shown yet), else the
// primary screen's; empty without a screen. For a window on screen, whose frame the desktop
// has drawn, the room that frame leaves (a slim frame leaves more than the decorations above).
QRect of(const QWidget& widget);
// Where `area` goes to lie within `room`, moved as little as it can be; one larger than the room
// keeps its top left corner in it.
QPoint fitted(const QRect& area, const QRect& room);
// Moves the window `window` on screen, where it is shown, so that it lies within its room (a
// window that grew may reach past the screen's edge).
void keepWithin(QWidget& window);

} // namespace ScreenRoom

} // namespace velmora
