#pragma once

#include <cassert>
#include <concepts>
#include <optional>
#include <utility>

namespace velmora::images {

// One entry of an option set or a load context. It is either absent (nobody said anything, so
// the reader falls back to its default), explicitly none (somebody said "no value", which
// can differ from the default: a type hint of none means "no hint at all"), or a value.
template <typename T> class Field {
public:
    Field() = default;
    Field(T value) : m_value(std::move(value)) {}

    static Field none() {
        Field field;
        field.m_none = true;
        return field;
    }

    bool isAbsent() const { return !m_none && !m_value; }
    bool isNone() const { return m_none; }
    bool hasValue() const { return m_value.has_value(); }
    // Absent is the only state in which a reader should use its own default.
    bool isPresent() const { return !isAbsent(); }

    const T& value() const {
        assert(m_value);
        return *m_value;
    }
    T valueOr(T fallback) const { return m_value ? *m_value : std::move(fallback); }
    std::optional<T> optional() const { return m_value; }

    Field& operator=(T value) {
        m_value = std::move(value);
        m_none = false;
        return *this;
    }
    void setNone() {
        m_value.reset();
        m_none = true;
    }
    void clear() {
        m_value.reset();
        m_none = false;
    }

    bool operator==(const Field& other) const requires std::equality_comparable<T> {
        return m_none == other.m_none && m_value == other.m_value;
    }

private:
    std::optional<T> m_value;
    bool m_none = false;
};

} // namespace velmora::images
