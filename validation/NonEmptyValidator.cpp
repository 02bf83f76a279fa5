#include "validation/NonEmptyValidator.h"

#include "validation/UnicodeText.h"

namespace velmora {

NonEmptyValidator::NonEmptyValidator(MessageSource message) : StringValidator(std::move(message)) {}

Validation NonEmptyValidator::validate() {
    if (!value() || !text::trimWhitespace(*value()).isEmpty()) {
        return Validation::success();
    }
    return Validation::failure(messageText());
}

} // namespace velmora
