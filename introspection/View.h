#pragma once

#include "IntrospectableView.h"

#include <QWidget>

namespace velmora::introspection {

// Any composite: the first widget inside it, rendered by QWidget.
struct ViewType : IntrospectableView<ViewType, QWidget> {};

inline ViewType view() {
    return {};
}

} // namespace velmora::introspection
