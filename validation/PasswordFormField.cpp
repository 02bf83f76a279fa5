#include "validation/PasswordFormField.h"

namespace velmora {

PasswordFormField::PasswordFormField(QString value, PasswordMatchValidator::MessagesSource message)
    : m_value(std::move(value)), m_message(std::move(message)) {}

ValidationContainer
PasswordFormField::validation(FormManager& manager, const PasswordFormField& matching,
                              std::optional<QRegularExpression> pattern,
                              std::function<bool()> disableValidation,
                              ValidationFactory::OnValidationChanged onValidationChanged) const {
    // The closures share the fields' value holders rather than point at the fields,
    // so a validator kept by the manager never reads a destroyed field.
    const CurrentValueSubject<QString> first = m_value;
    const CurrentValueSubject<QString> second = matching.m_value;
    auto validator = std::make_shared<PasswordMatchValidator>([first] { return first.value(); },
                                                              [second] { return second.value(); },
                                                              std::move(pattern), m_message);

    const auto mine = projectedValue().map([](const QString& v) { return ValidatedPassword{v, 0}; });
    const auto theirs = matching.projectedValue().map([](const QString& v) {
        return ValidatedPassword{v, 1};
    });
    // On subscription both fields deliver their current text; the first of the two
    // is not validated at all.
    auto values = Stream<ValidatedPassword>::merge(mine, theirs).dropFirst();
    return ValidationFactory::create(manager, validator, std::move(values), std::move(disableValidation),
                                     std::move(onValidationChanged));
}

} // namespace velmora
