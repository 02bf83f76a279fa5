#pragma once

#include <QString>

#include <optional>

namespace velmora {

// The outcome of checking one field. `success` also means "show nothing": a view
// is cleared by sending it, never by a third state.
class Validation {
public:
    // Success.
    Validation() = default;

    static Validation success() { return Validation(); }
    static Validation failure(QString message) { return Validation(std::move(message)); }

    bool isSuccess() const { return !m_message.has_value(); }
    bool isFailure() const { return m_message.has_value(); }
    // The text of a failure; absent for success.
    const std::optional<QString>& failureMessage() const { return m_message; }

    // Failures are equal when their texts are canonically equivalent.
    friend bool operator==(const Validation& a, const Validation& b);

private:
    explicit Validation(QString message) : m_message(std::move(message)) {}

    std::optional<QString> m_message;
};

} // namespace velmora
