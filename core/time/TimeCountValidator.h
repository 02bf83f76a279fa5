#pragma once

#include "core/time/TimeIntervalValidator.h"
#include "validation/CountValidator.h"

#include <QtGlobal>

namespace velmora {

// Compares the whole seconds of a duration with `count`, as CountValidator compares
// text lengths. A booking form uses it for "at least one minute".
//
// A duration that is absent, negative, not finite or too large for 64-bit seconds
// has no whole-second count to compare and always fails.
class TimeCountValidator : public TimeIntervalValidator {
public:
    using ValidationType = CountValidator::ValidationType;

    TimeCountValidator(qint64 count, ValidationType type, MessageSource message);

    qint64 count() const { return m_count; }
    void setCount(qint64 count) { m_count = count; }
    ValidationType type() const { return m_type; }

    Validation validate() override;

private:
    qint64 m_count;
    const ValidationType m_type;
};

} // namespace velmora
