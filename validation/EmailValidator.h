#pragma once

#include "validation/StringValidator.h"

#include <QRegularExpression>

namespace velmora {

// Passes text that looks like an e-mail address (the built-in pattern).
class EmailValidator : public StringValidator {
public:
    explicit EmailValidator(MessageSource message);

    const QRegularExpression& regex() const { return m_regex; }

    Validation validate() override;

private:
    QRegularExpression m_regex;
};

} // namespace velmora
