#pragma once

#include "IntrospectableView.h"

#include <QAbstractItemView>

namespace velmora::introspection {

// A bordered list, rendered by QAbstractItemView.
struct ListWithBorderedStyleType : IntrospectableView<ListWithBorderedStyleType, QAbstractItemView> {
    enum class Style { bordered };
};

inline ListWithBorderedStyleType list(ListWithBorderedStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
