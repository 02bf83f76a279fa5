#pragma once

#include "IntrospectableView.h"

#include <QComboBox>

namespace velmora::introspection {

// A picker that pops up a menu, rendered by QComboBox.
struct PickerWithMenuStyleType : IntrospectableView<PickerWithMenuStyleType, QComboBox> {
    enum class Style { menu };
};

inline PickerWithMenuStyleType picker(PickerWithMenuStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
