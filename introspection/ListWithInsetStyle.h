#pragma once

#include "IntrospectableView.h"

#include <QAbstractItemView>

namespace velmora::introspection {

// An inset list, rendered by QAbstractItemView.
struct ListWithInsetStyleType : IntrospectableView<ListWithInsetStyleType, QAbstractItemView> {
    enum class Style { inset };
};

inline ListWithInsetStyleType list(ListWithInsetStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
