#pragma once

#include "validation/TypedValidatable.h"

#include <QDateTime>

namespace velmora {

// Passes a date strictly between `after` and `before`. Starts with the time of its
// construction as its value.
class DateValidator : public TypedValidatable<QDateTime> {
public:
    DateValidator(QDateTime before, QDateTime after, MessageSource message);

    const QDateTime& before() const { return m_before; }
    const QDateTime& after() const { return m_after; }

    Validation validate() override;

private:
    QDateTime m_before;
    QDateTime m_after;
};

} // namespace velmora
