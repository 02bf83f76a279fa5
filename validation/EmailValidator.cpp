#include "validation/EmailValidator.h"

#include "validation/PatternValidator.h"
#include "validation/Regex.h"

namespace velmora {

EmailValidator::EmailValidator(MessageSource message)
    : StringValidator(std::move(message)), m_regex(compiledRegex(Regex::email)) {}

Validation EmailValidator::validate() {
    if (!value() || PatternValidator::matches(m_regex, *value())) {
        return Validation::success();
    }
    return Validation::failure(messageText());
}

} // namespace velmora
