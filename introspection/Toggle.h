#pragma once

#include "IntrospectableView.h"

#include <QCheckBox>

namespace velmora::introspection {

// A toggle, rendered by QCheckBox.
struct ToggleType : IntrospectableView<ToggleType, QCheckBox> {};

inline ToggleType toggle() {
    return {};
}

} // namespace velmora::introspection
