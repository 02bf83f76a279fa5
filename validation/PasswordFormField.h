#pragma once

#include "platform/async/Stream.h"
#include "validation/FormManager.h"
#include "validation/PasswordMatchValidator.h"
#include "validation/ValidationContainer.h"
#include "validation/ValidationFactory.h"

#include <QRegularExpression>
#include <QString>

#include <functional>
#include <optional>

namespace velmora {

// One of a pair of password fields that must agree (and optionally match a
// pattern); either field's typing validates the pair.
class PasswordFormField {
public:
    PasswordFormField(QString value, PasswordMatchValidator::MessagesSource message);

    PasswordFormField(const PasswordFormField&) = delete;
    PasswordFormField& operator=(const PasswordFormField&) = delete;

    const QString& value() const { return m_value.value(); }
    void setValue(QString value) { m_value.send(std::move(value)); }
    Stream<QString> projectedValue() const { return m_value.stream(); }
    const PasswordMatchValidator::MessagesSource& message() const { return m_message; }

    // A new pair validator of this field and `matching` (the confirmation),
    // registered with `manager`, fed by the values of both fields.
    ValidationContainer validation(
        FormManager& manager, const PasswordFormField& matching,
        std::optional<QRegularExpression> pattern = std::nullopt,
        std::function<bool()> disableValidation = [] { return false; },
        ValidationFactory::OnValidationChanged onValidationChanged = {}) const;

private:
    CurrentValueSubject<QString> m_value;
    const PasswordMatchValidator::MessagesSource m_message;
};

} // namespace velmora
