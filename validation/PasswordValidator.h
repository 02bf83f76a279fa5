#pragma once

#include "validation/StringValidator.h"

#include <QRegularExpression>

#include <optional>

namespace velmora {

// Passes text that matches the given pattern, or the built-in password pattern
// when none is given.
class PasswordValidator : public StringValidator {
public:
    PasswordValidator(std::optional<QRegularExpression> pattern, MessageSource message);

    const QRegularExpression& pattern() const { return m_pattern; }

    Validation validate() override;

private:
    QRegularExpression m_pattern;
};

} // namespace velmora
