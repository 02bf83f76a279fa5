#include "validation/PatternValidator.h"

namespace velmora {

PatternValidator::PatternValidator(QRegularExpression pattern, MessageSource message)
    : StringValidator(std::move(message)), m_pattern(std::move(pattern)) {}

bool PatternValidator::matches(const QRegularExpression& pattern, const QString& value) {
    return pattern.isValid() && pattern.match(value).hasMatch();
}

Validation PatternValidator::validate() {
    if (!value() || matches(m_pattern, *value())) {
        return Validation::success();
    }
    return Validation::failure(messageText());
}

} // namespace velmora
