#pragma once

#include "IntrospectableView.h"

#include <QDateEdit>

namespace velmora::introspection {

// A compact date picker, rendered by QDateEdit.
struct DatePickerWithCompactStyleType : IntrospectableView<DatePickerWithCompactStyleType, QDateEdit> {
    enum class Style { compact };
};

inline DatePickerWithCompactStyleType datePicker(DatePickerWithCompactStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
