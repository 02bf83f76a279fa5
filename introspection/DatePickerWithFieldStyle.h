#pragma once

#include "IntrospectableView.h"

#include <QDateEdit>

namespace velmora::introspection {

// A date field, rendered by QDateEdit.
struct DatePickerWithFieldStyleType : IntrospectableView<DatePickerWithFieldStyleType, QDateEdit> {
    enum class Style { field };
};

inline DatePickerWithFieldStyleType datePicker(DatePickerWithFieldStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
