#pragma once

#include "validation/StringValidator.h"

#include <QRegularExpression>

namespace velmora {

// Passes text in which `pattern` finds a match anywhere; a pattern that must cover
// the whole text anchors itself. The caller compiles the pattern: one that does
// not compile matches nothing.
class PatternValidator : public StringValidator {
public:
    PatternValidator(QRegularExpression pattern, MessageSource message);

    const QRegularExpression& pattern() const { return m_pattern; }

    Validation validate() override;

    static bool matches(const QRegularExpression& pattern, const QString& value);

private:
    QRegularExpression m_pattern;
};

} // namespace velmora
