#pragma once

class QWidget;

namespace velmora::imageviews {

// Keeps the widget covering its parent exactly, now and after every resize of the parent.
// A widget without a parent is left alone, with a message on standard output. Calling it
// twice binds twice, to the same effect.
void bindFrameToSuperviewBounds(QWidget* view);

} // namespace velmora::imageviews
