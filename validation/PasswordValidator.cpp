#include "validation/PasswordValidator.h"

#include "validation/PatternValidator.h"
#include "validation/Regex.h"

namespace velmora {

PasswordValidator::PasswordValidator(std::optional<QRegularExpression> pattern, MessageSource message)
    : StringValidator(std::move(message)),
      m_pattern(pattern ? std::move(*pattern) : compiledRegex(Regex::password)) {}

Validation PasswordValidator::validate() {
    if (!value() || PatternValidator::matches(m_pattern, *value())) {
        return Validation::success();
    }
    return Validation::failure(messageText());
}

} // namespace velmora
