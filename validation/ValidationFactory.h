#pragma once

#include "platform/async/Stream.h"
#include "validation/FormManager.h"
#include "validation/TypedValidatable.h"
#include "validation/ValidationContainer.h"
#include "validation/ValueEquality.h"

#include <concepts>
#include <functional>
#include <memory>

namespace velmora {

// Connects one form field to its form manager.
class ValidationFactory {
public:
    using OnValidationChanged = std::function<void(const Validation&)>;

    ValidationFactory() = delete;

    // Registers the validator with `manager` at once and returns the container whose
    // outcome stream, while subscribed, validates every value `values` delivers:
    // the validator takes the value, its observers (and so the manager's
    // aggregates) learn the outcome, and the stream emits it when the form shows
    // outcomes while typing (success otherwise, and while the field is disabled).
    // The outcome of the value delivered at subscription is not emitted.
    // `onValidationChanged` is called when both the value and the outcome changed.
    template <typename V>
    requires std::derived_from<V, TypedValidatable<typename V::Value>>
    static ValidationContainer create(
        FormManager& manager, std::shared_ptr<V> validator, Stream<typename V::Value> values,
        std::function<bool()> disableValidation = [] { return false; },
        OnValidationChanged onValidationChanged = {}) {
        using Value = typename V::Value;
        manager.registerValidator(ValidatorContainer{validator, disableValidation});

        // The manager's type is fixed at its construction; copying it keeps the
        // stream usable even if the manager goes first.
        const bool showsWhileTyping = manager.validationType() == FormManager::ValidationType::immediate;
        auto outcomes = values
                            .map([validator, disableValidation, onValidationChanged,
                                  showsWhileTyping](const Value& value) {
                                const std::optional<Value> previousValue = validator->value();
                                const Validation previousOutcome = validator->validate();
                                validator->setValue(value);
                                const Validation outcome = validator->validate();
                                validator->notify(outcome);
                                if (disableValidation && disableValidation()) {
                                    return Validation::success();
                                }
                                if (onValidationChanged && !sameValue(previousValue, validator->value()) &&
                                    !(previousOutcome == outcome)) {
                                    onValidationChanged(outcome);
                                }
                                return showsWhileTyping ? outcome : Validation::success();
                            })
                            .dropFirst();
        return ValidationContainer(validator, std::move(outcomes), validator->subject());
    }
};

} // namespace velmora
