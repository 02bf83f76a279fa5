#include "validation/PasswordMatchValidator.h"

#include "validation/PatternValidator.h"
#include "validation/UnicodeText.h"

namespace velmora {

namespace {
QString read(const PasswordMatchValidator::PasswordSource& source) {
    return source ? source() : QString();
}
} // namespace

PasswordMatchValidator::PasswordMatchValidator(PasswordSource firstPassword, PasswordSource secondPassword,
                                               std::optional<QRegularExpression> pattern,
                                               MessagesSource validationMessage)
    : TypedValidatable<ValidatedPassword>([] { return QString(); }, ValidatedPassword{QString(), 0}),
      m_firstPassword(std::move(firstPassword)), m_secondPassword(std::move(secondPassword)),
      m_pattern(std::move(pattern)), m_validationMessage(std::move(validationMessage)) {}

Validation PasswordMatchValidator::validate() {
    const Validation match = checkMatch();
    return match.isFailure() ? match : checkPattern();
}

Validation PasswordMatchValidator::checkMatch() const {
    if (!value()) {
        return Validation::success();
    }
    QString first;
    QString second;
    switch (value()->type) {
    case 0:
        first = value()->password;
        second = read(m_secondPassword);
        break;
    case 1:
        first = read(m_firstPassword);
        second = value()->password;
        break;
    default:
        first = read(m_firstPassword);
        second = read(m_secondPassword);
        break;
    }
    if (first.isEmpty() && second.isEmpty()) {
        return Validation::failure(messages().empty);
    }
    return text::canonicallyEqual(first, second) ? Validation::success()
                                                 : Validation::failure(messages().notMatching);
}

Validation PasswordMatchValidator::checkPattern() const {
    if (!value() || !m_pattern) {
        return Validation::success();
    }
    return PatternValidator::matches(*m_pattern, value()->password)
               ? Validation::success()
               : Validation::failure(messages().invalidPattern);
}

} // namespace velmora
