#pragma once

#include <cstdint>

namespace velmora::introspection {

// Where a search looks: among the widgets inside the introspected composite (receiver),
// among the widgets that contain it (ancestor), both, or nowhere. Bits other than the two
// named ones are carried along but never tested.
struct IntrospectionScope {
    std::uint64_t rawValue = 0;

    static constexpr IntrospectionScope receiver() { return {1}; }
    static constexpr IntrospectionScope ancestor() { return {2}; }

    constexpr bool contains(IntrospectionScope other) const {
        return (rawValue & other.rawValue) == other.rawValue;
    }
    constexpr bool isEmpty() const { return rawValue == 0; }

    friend constexpr IntrospectionScope operator|(IntrospectionScope a, IntrospectionScope b) {
        return {a.rawValue | b.rawValue};
    }
    friend constexpr bool operator==(IntrospectionScope, IntrospectionScope) = default;
};

} // namespace velmora::introspection
