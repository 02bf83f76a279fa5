#pragma once

#include "IntrospectableView.h"

#include <QLineEdit>

namespace velmora::introspection {

// A one-line text field, rendered by QLineEdit.
struct TextFieldType : IntrospectableView<TextFieldType, QLineEdit> {};

inline TextFieldType textField() {
    return {};
}

} // namespace velmora::introspection
