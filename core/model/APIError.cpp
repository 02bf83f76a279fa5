#include "core/model/APIError.h"

#include <limits>

namespace velmora {

QString APIError::description() const {
    switch (m_kind) {
    case Kind::RateLimited:
        return m_retryAfter ? QStringLiteral("rateLimited(%1)").arg(*m_retryAfter)
                            : QStringLiteral("rateLimited");
    case Kind::Unknown:
        return QStringLiteral("unknown");
    case Kind::Unauthorized:
        return QStringLiteral("unauthorized");
    case Kind::Validation:
        return QStringLiteral("validation");
    case Kind::NoMorePages:
        return QStringLiteral("noMorePages");
    case Kind::PaymentRequired:
        return QStringLiteral("paymentRequired");
    }
    return QStringLiteral("unknown");
}

std::optional<std::int64_t> APIError::parseRetryAfter(std::string_view text) {
    bool negative = false;
    std::size_t i = 0;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) {
        return std::nullopt;
    }
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    bool saturated = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const int digit = c - '0';
        if (!saturated && value > (max - digit) / 10) {
            saturated = true;
        }
        if (!saturated) {
            value = value * 10 + digit;
        }
    }
    if (negative) {
        return 0;
    }
    return saturated ? max : value;
}

} // namespace velmora
