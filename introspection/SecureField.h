#pragma once

#include "IntrospectableView.h"

#include <QLineEdit>

namespace velmora::introspection {

// A password field, rendered by QLineEdit.
struct SecureFieldType : IntrospectableView<SecureFieldType, QLineEdit> {};

inline SecureFieldType secureField() {
    return {};
}

} // namespace velmora::introspection
