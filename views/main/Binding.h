#pragma once

#include <functional>
#include <utility>

namespace velmora {

// A read and a write of a value that lives elsewhere, so a view can show and change
// it without owning it. A setter may do something other than store the value (the
// sidebar's rows select themselves whatever is written).
template <typename T> class Binding {
public:
    using Getter = std::function<T()>;
    using Setter = std::function<void(const T&)>;

    Binding(Getter get, Setter set) : m_get(std::move(get)), m_set(std::move(set)) {}

    // A binding that always reads `value` and ignores writes.
    static Binding constant(T value) {
        return Binding([value] { return value; }, [](const T&) {});
    }

    T get() const { return m_get(); }
    void set(const T& value) const { m_set(value); }

private:
    Getter m_get;
    Setter m_set;
};

} // namespace velmora
