#pragma once

#include "IntrospectableView.h"

#include <QDateEdit>

namespace velmora::introspection {

// A date field with up and down arrows, rendered by QDateEdit.
struct DatePickerWithStepperFieldStyleType
    : IntrospectableView<DatePickerWithStepperFieldStyleType, QDateEdit> {
    enum class Style { stepperField };
};

inline DatePickerWithStepperFieldStyleType datePicker(DatePickerWithStepperFieldStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
