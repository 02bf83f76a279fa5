#pragma once

#include "IntrospectableView.h"

#include <QAbstractScrollArea>

namespace velmora::introspection {

// A grouped form, which scrolls, rendered by QAbstractScrollArea.
struct FormWithGroupedStyleType : IntrospectableView<FormWithGroupedStyleType, QAbstractScrollArea> {
    enum class Style { grouped };
};

inline FormWithGroupedStyleType form(FormWithGroupedStyleType::Style) {
    return {};
}

} // namespace velmora::introspection
