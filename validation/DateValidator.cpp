#include "validation/DateValidator.h"

namespace velmora {

DateValidator::DateValidator(QDateTime before, QDateTime after, MessageSource message)
    : TypedValidatable<QDateTime>(std::move(message), QDateTime::currentDateTime()),
      m_before(std::move(before)), m_after(std::move(after)) {}

Validation DateValidator::validate() {
    if (!value() || (m_after < *value() && *value() < m_before)) {
        return Validation::success();
    }
    return Validation::failure(messageText());
}

} // namespace velmora
