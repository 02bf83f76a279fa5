#pragma once

#include <functional>
#include <utility>

namespace velmora {

// Owns one running operation or subscription: cancelling it (or destroying the
// Cancellable) stops all further deliveries. Move-only, like the subscription it holds.
class Cancellable {
public:
    Cancellable() = default;
    explicit Cancellable(std::function<void()> onCancel, std::function<void()> onDetach = {})
        : m_onCancel(std::move(onCancel)), m_onDetach(std::move(onDetach)) {}
    Cancellable(const Cancellable&) = delete;
    Cancellable& operator=(const Cancellable&) = delete;
    Cancellable(Cancellable&& other) noexcept
        : m_onCancel(std::exchange(other.m_onCancel, nullptr)), m_onDetach(std::exchange(other.m_onDetach, nullptr)) {}
    Cancellable& operator=(Cancellable&& other) noexcept {
        if (this != &other) {
            cancel();
            m_onCancel = std::exchange(other.m_onCancel, nullptr);
            m_onDetach = std::exchange(other.m_onDetach, nullptr);
        }
        return *this;
    }
    ~Cancellable() { cancel(); }

    void cancel() {
        m_onDetach = nullptr;
        if (auto f = std::exchange(m_onCancel, nullptr)) {
            f();
        }
    }
    // Lets the operation run to its end, and deliver, without anyone holding it.
    void detach() {
        if (auto f = std::exchange(m_onDetach, nullptr)) {
            f();
        }
        m_onCancel = nullptr;
    }
    bool isActive() const { return static_cast<bool>(m_onCancel); }

private:
    std::function<void()> m_onCancel;
    std::function<void()> m_onDetach;
};

} // namespace velmora
