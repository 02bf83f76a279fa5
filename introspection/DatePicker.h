#pragma once

#include "IntrospectableView.h"

#include <QDateEdit>

namespace velmora::introspection {

// A date picker, rendered by QDateEdit.
struct DatePickerType : IntrospectableView<DatePickerType, QDateEdit> {};

inline DatePickerType datePicker() {
    return {};
}

} // namespace velmora::introspection
