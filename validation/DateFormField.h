#pragma once

#include "platform/async/Stream.h"
#include "validation/FormManager.h"
#include "validation/ValidationContainer.h"
#include "validation/ValidationFactory.h"

#include <QDateTime>
#include <QString>

#include <functional>

namespace velmora {

// A date of a form, checked against a range given when its validation is built.
class DateFormField {
public:
    DateFormField(QDateTime value, QString message);

    DateFormField(const DateFormField&) = delete;
    DateFormField& operator=(const DateFormField&) = delete;

    const QDateTime& value() const { return m_value.value(); }
    void setValue(QDateTime value) { m_value.send(std::move(value)); }
    Stream<QDateTime> projectedValue() const { return m_value.stream(); }
    const QString& message() const { return m_message; }

    // A new validator of the open range (after, before), registered with `manager`;
    // it judges the time of this call until the field's first value arrives.
    ValidationContainer validation(
        FormManager& manager, QDateTime before, QDateTime after,
        std::function<bool()> disableValidation = [] { return false; },
        ValidationFactory::OnValidationChanged onValidationChanged = {}) const;

private:
    CurrentValueSubject<QDateTime> m_value;
    const QString m_message;
};

} // namespace velmora
