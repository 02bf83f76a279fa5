#pragma once

#include "IntrospectableView.h"

#include <QCheckBox>

namespace velmora::introspection {

// A toggle drawn as a check box, rendered by QCheckBox.
struct ToggleWithCheckboxStyleType : IntrospectableView<ToggleWithCheckboxStyleType, QCheckBox> {
    enum class Style { checkbox };
};

inline ToggleWithCheckboxStyleType toggle(ToggleWithCheckboxStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
