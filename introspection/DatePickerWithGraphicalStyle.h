#pragma once

#include "IntrospectableView.h"

#include <QCalendarWidget>

namespace velmora::introspection {

// A month calendar to pick a date in, rendered by QCalendarWidget.
struct DatePickerWithGraphicalStyleType
    : IntrospectableView<DatePickerWithGraphicalStyleType, QCalendarWidget> {
    enum class Style { graphical };
};

inline DatePickerWithGraphicalStyleType datePicker(DatePickerWithGraphicalStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
