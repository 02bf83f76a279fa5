#pragma once

#include "validation/Validatable.h"

#include <QString>

#include <optional>
#include <type_traits>

namespace velmora {

// A validator of values of type T. The value is optional: an absent value is set
// only by a caller (a composite handing down its own), and the rules of the
// library let it pass.
template <typename T> class TypedValidatable : public Validatable {
public:
    using Value = T;

    const std::optional<T>& value() const { return m_value; }
    void setValue(std::optional<T> value) { m_value = std::move(value); }

    // Absent, or the empty text; a present value of any other type is never empty.
    bool isEmpty() const override {
        if (!m_value) {
            return true;
        }
        if constexpr (std::is_same_v<T, QString>) {
            return m_value->isEmpty();
        } else {
            return false;
        }
    }

protected:
    TypedValidatable(MessageSource message, std::optional<T> initialValue)
        : Validatable(std::move(message)), m_value(std::move(initialValue)) {}

private:
    std::optional<T> m_value;
};

} // namespace velmora
