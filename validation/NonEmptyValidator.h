#pragma once

#include "validation/StringValidator.h"

namespace velmora {

// Fails text that is empty once whitespace is trimmed from both ends (a line
// break is not whitespace here).
class NonEmptyValidator : public StringValidator {
public:
    explicit NonEmptyValidator(MessageSource message);

    Validation validate() override;
};

} // namespace velmora
