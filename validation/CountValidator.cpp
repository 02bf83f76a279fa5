#include "validation/CountValidator.h"

#include "validation/UnicodeText.h"

namespace velmora {

CountValidator::CountValidator(qint64 count, ValidationType type, MessageSource message)
    : StringValidator(std::move(message)), m_count(count), m_type(type) {}

bool CountValidator::passes(qint64 n, qint64 count, ValidationType type) {
    switch (type) {
    case ValidationType::equals:
        return n == count;
    case ValidationType::lessThan:
        return n < count;
    case ValidationType::lessThanOrEquals:
        return n <= count;
    case ValidationType::greaterThan:
        return n > count;
    case ValidationType::greaterThanOrEquals:
        return n >= count;
    }
    return false;
}

Validation CountValidator::validate() {
    if (!value()) {
        return Validation::success();
    }
    const qint64 n = text::characterCount(text::trimWhitespace(*value()));
    return passes(n, m_count, m_type) ? Validation::success() : Validation::failure(messageText());
}

} // namespace velmora
