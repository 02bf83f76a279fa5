#pragma once

#include <memory>
#include <type_traits>

namespace velmora::images {

// Holds its target weakly, so that a timer or callback that keeps the proxy does not keep the
// target alive. A call through a proxy whose target has gone does nothing and gives the result
// type's empty value.
template <typename T> class WeakProxy {
public:
    WeakProxy() = default;
    explicit WeakProxy(const std::shared_ptr<T>& target) : m_target(target) {}
    static WeakProxy proxyWithTarget(const std::shared_ptr<T>& target) { return WeakProxy(target); }

    std::shared_ptr<T> target() const { return m_target.lock(); }
    bool isAlive() const { return !m_target.expired(); }

    template <typename Method, typename... Args> auto call(Method method, Args&&... args) const {
        using Result = std::invoke_result_t<Method, T&, Args...>;
        if (const auto target = m_target.lock()) {
            return std::invoke(method, *target, std::forward<Args>(args)...);
        }
        if constexpr (!std::is_void_v<Result>) {
            return Result{};
        }
    }

    bool operator==(const WeakProxy& other) const { return target() == other.target(); }

private:
    std::weak_ptr<T> m_target;
};

} // namespace velmora::images
