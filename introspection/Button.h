#pragma once

#include "IntrospectableView.h"

#include <QAbstractButton>

namespace velmora::introspection {

// A button, rendered by QAbstractButton.
struct ButtonType : IntrospectableView<ButtonType, QAbstractButton> {};

inline ButtonType button() {
    return {};
}

} // namespace velmora::introspection
