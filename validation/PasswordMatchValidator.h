#pragma once

#include "validation/TypedValidatable.h"
#include "validation/ValidatedPassword.h"

#include <QRegularExpression>
#include <QString>

#include <functional>
#include <optional>

namespace velmora {

// Two password fields that must agree and, optionally, match a pattern. The value
// is the password just typed and which field it came from; the other field's text
// is read through its closure.
class PasswordMatchValidator : public TypedValidatable<ValidatedPassword> {
public:
    struct Messages {
        QString empty;
        QString notMatching;
        QString invalidPattern;
    };
    using PasswordSource = std::function<QString()>;
    using MessagesSource = std::function<Messages()>;

    PasswordMatchValidator(PasswordSource firstPassword, PasswordSource secondPassword,
                           std::optional<QRegularExpression> pattern, MessagesSource validationMessage);

    const std::optional<QRegularExpression>& pattern() const { return m_pattern; }
    const MessagesSource& validationMessage() const { return m_validationMessage; }

    // The match first; the pattern only when both agree.
    Validation validate() override;
    Validation checkMatch() const;
    Validation checkPattern() const;

private:
    Messages messages() const { return m_validationMessage ? m_validationMessage() : Messages{}; }

    PasswordSource m_firstPassword;
    PasswordSource m_secondPassword;
    std::optional<QRegularExpression> m_pattern;
    MessagesSource m_validationMessage;
};

} // namespace velmora
