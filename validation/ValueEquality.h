#pragma once

#include "validation/UnicodeText.h"

#include <QString>

#include <optional>

namespace velmora {

// Equality of field values as the validation library sees it: texts compare under
// canonical equivalence, everything else by its own ==.
template <typename T> bool sameValue(const T& a, const T& b) {
    if constexpr (std::is_same_v<T, QString>) {
        return text::canonicallyEqual(a, b);
    } else {
        return a == b;
    }
}

// Two absent values are equal; absent and present differ.
template <typename T> bool sameValue(const std::optional<T>& a, const std::optional<T>& b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    return !a.has_value() || sameValue(*a, *b);
}

} // namespace velmora
