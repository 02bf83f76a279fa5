#pragma once

#include "IntrospectableView.h"

#include <QAbstractItemView>

namespace velmora::introspection {

// A list, rendered by QAbstractItemView.
struct ListType : IntrospectableView<ListType, QAbstractItemView> {
    enum class Style { plain };
};

inline ListType list() {
    return {};
}

inline ListType list(ListType::Style) {
    return {};
}

} // namespace velmora::introspection
