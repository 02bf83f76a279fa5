#pragma once

#include "IntrospectionScope.h"

#include <QWidget>

#include <concepts>
#include <type_traits>

namespace velmora::introspection {

// A kind of composite that can be looked behind: it names the Qt class that renders it
// (Entity) and the scope searched when the caller names none.
template <typename V>
concept IntrospectableViewType = std::is_base_of_v<QWidget, typename V::Entity> && requires {
    { V::scope() } -> std::same_as<IntrospectionScope>;
};

} // namespace velmora::introspection
