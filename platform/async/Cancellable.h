#pragma once

#include <functional>
#include <utility>

namespace velmora {

// Owns one running operation or subscription: cancelling it (or destroying the
// Cancellable) stops all further deliveries. Move-only, like the subscription it holds.
class Cancellable {
public:
    Cancellable() = default;
    explicit Cancellable(std::function<void()> onCancel) : m_onCancel(std::move(onCancel)) {}
    Cancellable(const Cancellable&) = delete;
    Cancellable& operator=(const Cancellable&) = delete;
    Cancellable(Cancellable&& other) noexcept : m_onCancel(std::exchange(other.m_onCancel, nullptr)) {}
    Cancellable& operator=(Cancellable&& other) noexcept {
        if (this != &other) {
            cancel();
            m_onCancel = std::exchange(other.m_onCancel, nullptr);
        }
        return *this;
    }
    ~Cancellable() { cancel(); }

    void cancel() {
        if (auto f = std::exchange(m_onCancel, nullptr)) {
            f();
        }
    }
    // Lets the operation run to its end without anyone holding it.
    void detach() { m_onCancel = nullptr; }
    bool isActive() const { return static_cast<bool>(m_onCancel); }

private:
    std::function<void()> m_onCancel;
};

} // namespace velmora
