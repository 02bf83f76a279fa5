#pragma once

#include "IntrospectableView.h"

#include <QAbstractSpinBox>

namespace velmora::introspection {

// A stepper, rendered by QAbstractSpinBox.
struct StepperType : IntrospectableView<StepperType, QAbstractSpinBox> {};

inline StepperType stepper() {
    return {};
}

} // namespace velmora::introspection
