#include "validation/DateFormField.h"

#include "validation/DateValidator.h"

namespace velmora {

DateFormField::DateFormField(QDateTime value, QString message)
    : m_value(std::move(value)), m_message(std::move(message)) {}

ValidationContainer
DateFormField::validation(FormManager& manager, QDateTime before, QDateTime after,
                          std::function<bool()> disableValidation,
                          ValidationFactory::OnValidationChanged onValidationChanged) const {
    auto validator = std::make_shared<DateValidator>(std::move(before), std::move(after),
                                                     [message = m_message] { return message; });
    return ValidationFactory::create(manager, validator, projectedValue(), std::move(disableValidation),
                                     std::move(onValidationChanged));
}

} // namespace velmora
