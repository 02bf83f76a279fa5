#pragma once

#include "validation/StringValidator.h"

#include <QtGlobal>

namespace velmora {

// Compares the number of characters of the text, whitespace trimmed from both ends
// (line breaks stay), with `count`.
class CountValidator : public StringValidator {
public:
    enum class ValidationType { equals, lessThan, lessThanOrEquals, greaterThan, greaterThanOrEquals };

    CountValidator(qint64 count, ValidationType type, MessageSource message);

    qint64 count() const { return m_count; }
    void setCount(qint64 count) { m_count = count; }
    ValidationType type() const { return m_type; }

    Validation validate() override;

    // Whether `n` passes against `count` under `type`; shared with the duration rule.
    static bool passes(qint64 n, qint64 count, ValidationType type);

private:
    qint64 m_count;
    const ValidationType m_type;
};

} // namespace velmora
