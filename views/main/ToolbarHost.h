#pragma once

class QString;
class QWidget;

namespace velmora {

// The window that owns the main toolbar. The views inside ask it to rebuild the
// toolbar whenever the items they supply must change (the timer started, another
// task was selected); they reach it through their top-level window, and a view in
// another window asks nothing.
class ToolbarHost {
public:
    virtual ~ToolbarHost() = default;

    virtual void updateToolbar() = 0;
    // The window's title and, under it, a smaller subtitle (a project's name and its
    // number of tasks).
    virtual void setTitleAndSubtitle(const QString& title, const QString& subtitle) = 0;

    // The host of `view`'s window, or null.
    static ToolbarHost* of(const QWidget* view);
};

} // namespace velmora
