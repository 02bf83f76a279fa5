#pragma once

#include "validation/TypedValidatable.h"

#include <QString>

namespace velmora {

// A validator of text. Text validators start with the empty text (present, not
// absent) and judge it until their field's first value arrives.
class StringValidator : public TypedValidatable<QString> {
protected:
    explicit StringValidator(MessageSource message, std::optional<QString> initialValue = QString())
        : TypedValidatable<QString>(std::move(message), std::move(initialValue)) {}
};

} // namespace velmora
