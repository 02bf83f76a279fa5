#pragma once

#include "validation/TypedValidatable.h"

namespace velmora {

// A validator of a duration in seconds. Unlike the text validators it starts with
// no value, and what it makes of an absent duration is each rule's own.
class TimeIntervalValidator : public TypedValidatable<double> {
protected:
    explicit TimeIntervalValidator(MessageSource message, std::optional<double> initialValue = std::nullopt)
        : TypedValidatable<double>(std::move(message), initialValue) {}
};

} // namespace velmora
