#pragma once

#include "platform/async/Stream.h"
#include "validation/FormManager.h"
#include "validation/InlineValidator.h"
#include "validation/TypedValidatable.h"
#include "validation/ValidationContainer.h"
#include "validation/ValidationFactory.h"

#include <QtGlobal>

#include <concepts>
#include <functional>
#include <memory>

namespace velmora {

// One user-editable value of a form, with the validator that judges it.
//
// Writing the value never validates by itself: it only publishes the value. The
// validator follows the value through the container that `validation()` builds,
// and only while a view subscribes to that container's outcome stream.
template <std::equality_comparable Value, typename Validator>
requires std::derived_from<Validator, TypedValidatable<Value>>
class FormField {
public:
    FormField(Value value, std::shared_ptr<Validator> validator)
        : m_value(std::move(value)), m_validator(std::move(validator)) {
        Q_ASSERT(m_validator);
    }

    // A field judged by an inline condition: the present value in, a failure text
    // (or nothing) out.
    FormField(Value value, typename InlineValidator<Value>::Condition condition) requires
        std::same_as<Validator, InlineValidator<Value>>
        : FormField(std::move(value), std::make_shared<InlineValidator<Value>>(std::move(condition))) {}

    FormField(const FormField&) = delete;
    FormField& operator=(const FormField&) = delete;

    const Value& value() const { return m_value.value(); }
    // Publishes the value, also when it equals the current one.
    void setValue(Value value) { m_value.send(std::move(value)); }

    // The current value on subscription, then every value assigned afterwards.
    Stream<Value> projectedValue() const { return m_value.stream(); }

    const std::shared_ptr<Validator>& validator() const { return m_validator; }

    // Registers the validator with `manager` and returns the field's container.
    // Every call registers once more, so a form builds it once and keeps it.
    ValidationContainer validation(
        FormManager& manager, std::function<bool()> disableValidation = [] { return false; },
        ValidationFactory::OnValidationChanged onValidationChanged = {}) const {
        return ValidationFactory::create(manager, m_validator, projectedValue(), std::move(disableValidation),
                                         std::move(onValidationChanged));
    }

private:
    CurrentValueSubject<Value> m_value;
    std::shared_ptr<Validator> m_validator;
};

} // namespace velmora
