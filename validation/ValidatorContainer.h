#pragma once

#include "validation/Validatable.h"

#include <functional>
#include <memory>

namespace velmora {

// One field of a form as the form manager sees it.
struct ValidatorContainer {
    std::shared_ptr<Validatable> validator;
    // True while the field is exempt: its outcome is then ignored for validity and
    // messages (but still counts for "filled"), and it shows success.
    std::function<bool()> disableValidation;

    bool isDisabled() const { return disableValidation && disableValidation(); }
};

} // namespace velmora
