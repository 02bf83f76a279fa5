#pragma once

#include "IntrospectableView.h"

#include <QAbstractButton>

namespace velmora::introspection {

// A toggle drawn as a checkable button, rendered by QAbstractButton.
struct ToggleWithButtonStyleType : IntrospectableView<ToggleWithButtonStyleType, QAbstractButton> {
    enum class Style { button };
};

inline ToggleWithButtonStyleType toggle(ToggleWithButtonStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
