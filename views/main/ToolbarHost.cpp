#include "views/main/ToolbarHost.h"

#include <QWidget>

namespace velmora {

ToolbarHost* ToolbarHost::of(const QWidget* view) {
    if (!view) {
        return nullptr;
    }
    return dynamic_cast<ToolbarHost*>(view->window());
}

} // namespace velmora
