#pragma once

#include <QString>
#include <QStringList>

class QToolBar;

namespace velmora {

// A detail pane that supplies the main window's toolbar. The window builds a new
// toolbar whenever it is asked to (ToolbarHost::updateToolbar) and adds, in order,
// the item of each default identifier; an identifier the delegate makes nothing for
// is left out.
class ToolbarDelegate {
public:
    virtual ~ToolbarDelegate() = default;

    virtual QStringList toolbarDefaultItemIdentifiers() = 0;
    virtual QStringList toolbarAllowedItemIdentifiers() { return toolbarDefaultItemIdentifiers(); }
    // Adds the item of `identifier` to `toolbar` (the toolbar takes it), or nothing.
    virtual void addToolbarItem(QToolBar& toolbar, const QString& identifier) = 0;
};

} // namespace velmora
