#pragma once

#include "validation/TypedValidatable.h"

#include <QString>

#include <functional>
#include <optional>

namespace velmora {

// A rule given by the application as a closure: the present value in, a failure
// text out (nothing when the value passes). An absent value passes without asking.
template <typename T> class InlineValidator : public TypedValidatable<T> {
public:
    using Condition = std::function<std::optional<QString>(const T&)>;

    explicit InlineValidator(Condition condition)
        : TypedValidatable<T>([] { return QString(); }, std::nullopt), m_condition(std::move(condition)) {}

    const Condition& condition() const { return m_condition; }

    Validation validate() override {
        if (!this->value() || !m_condition) {
            return Validation::success();
        }
        if (auto failure = m_condition(*this->value())) {
            return Validation::failure(std::move(*failure));
        }
        return Validation::success();
    }

private:
    Condition m_condition;
};

} // namespace velmora
