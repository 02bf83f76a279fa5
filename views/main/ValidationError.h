#pragma once

#include "validation/ValidationMessageView.h"

namespace velmora {

// The failure message of one validated field, in red, for placing under the field;
// nothing (and no room taken) while the field is valid. It is the validation
// library's message view without an input of its own, so forms and the library
// show messages the same way.
class ValidationError : public ValidationMessageView {
    Q_OBJECT

public:
    explicit ValidationError(ValidationContainer container, QWidget* parent = nullptr);
};

} // namespace velmora
