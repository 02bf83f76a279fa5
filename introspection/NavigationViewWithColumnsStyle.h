#pragma once

#include "IntrospectableView.h"

#include <QSplitter>

namespace velmora::introspection {

// A view of side-by-side columns, rendered by QSplitter.
struct NavigationViewWithColumnsStyleType
    : IntrospectableView<NavigationViewWithColumnsStyleType, QSplitter> {
    enum class Style { columns };
};

inline NavigationViewWithColumnsStyleType navigationView(NavigationViewWithColumnsStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
