#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace velmora {

// The value of an operation that completes without a result of its own.
struct Void {
    friend bool operator==(Void, Void) { return true; }
};

// Either the value of a finished operation or its error.
template <typename T, typename E>
class Result {
public:
    using Value = T;
    using Error = E;

    static Result success(T value) { return Result(std::in_place_index<0>, std::move(value)); }
    static Result failure(E error) { return Result(std::in_place_index<1>, std::move(error)); }

    // Plain conversions where they cannot be ambiguous.
    template <typename U = T, typename = std::enable_if_t<!std::is_same_v<U, E>>>
    Result(T value) : m_data(std::in_place_index<0>, std::move(value)) {}
    template <typename U = T, typename = std::enable_if_t<!std::is_same_v<U, E>>>
    Result(E error) : m_data(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_data.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T& value() const& {
        assert(ok());
        return std::get<0>(m_data);
    }
    T& value() & {
        assert(ok());
        return std::get<0>(m_data);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(m_data));
    }
    const E& error() const& {
        assert(!ok());
        return std::get<1>(m_data);
    }

    friend bool operator==(const Result& a, const Result& b) { return a.m_data == b.m_data; }

private:
    template <std::size_t I, typename A>
    Result(std::in_place_index_t<I> tag, A&& a) : m_data(tag, std::forward<A>(a)) {}

    std::variant<T, E> m_data;
};

} // namespace velmora
