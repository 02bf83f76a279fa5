#pragma once

#include "IntrospectableView.h"

#include <QSplitter>

namespace velmora::introspection {

// A split view with a sidebar, rendered by QSplitter.
struct NavigationSplitViewType : IntrospectableView<NavigationSplitViewType, QSplitter> {};

inline NavigationSplitViewType navigationSplitView() {
    return {};
}

} // namespace velmora::introspection
