#pragma once

#include "IntrospectableView.h"

#include <QTabWidget>

namespace velmora::introspection {

// A tab view, rendered by QTabWidget.
struct TabViewType : IntrospectableView<TabViewType, QTabWidget> {};

inline TabViewType tabView() {
    return {};
}

} // namespace velmora::introspection
