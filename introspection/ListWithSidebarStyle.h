#pragma once

#include "IntrospectableView.h"

#include <QAbstractItemView>

namespace velmora::introspection {

// A sidebar list, rendered by QAbstractItemView.
struct ListWithSidebarStyleType : IntrospectableView<ListWithSidebarStyleType, QAbstractItemView> {
    enum class Style { sidebar };
};

inline ListWithSidebarStyleType list(ListWithSidebarStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
