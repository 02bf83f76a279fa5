#pragma once

#include "IntrospectableView.h"

#include <QAbstractScrollArea>

namespace velmora::introspection {

// A scrolling composite (a form, a list of rows), rendered by QAbstractScrollArea.
struct ScrollViewType : IntrospectableView<ScrollViewType, QAbstractScrollArea> {};

inline ScrollViewType scrollView() {
    return {};
}

} // namespace velmora::introspection
