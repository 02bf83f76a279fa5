#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora {

// The one error of every network operation. It carries no user-visible text:
// the views that show an error choose their own words.
class APIError {
public:
    enum class Kind { RateLimited, Unknown, Unauthorized, Validation, NoMorePages, PaymentRequired };

    // What went wrong on the way, where it is known: what the user is told depends on
    // it (a server at fault, a network down, a certificate refused), never the kind
    // alone.
    enum class Cause {
        None,                 // not known, or nothing beyond the kind
        ServerError,          // the server answered with a status that is no answer (5xx and the like)
        Unreachable,          // no connection, or it broke before the answer was complete
        TimedOut,             // the server did not answer in time
        UntrustedCertificate, // the TLS handshake was refused: the server's certificate isn't trusted
        Unreadable,           // the answer was not HTTP, or not the record asked for
    };

    static APIError rateLimited(std::optional<std::int64_t> retryAfter = std::nullopt) {
        return APIError(Kind::RateLimited, retryAfter);
    }
    static APIError unknown() { return APIError(Kind::Unknown); }
    static APIError unauthorized() { return APIError(Kind::Unauthorized); }
    static APIError validation() { return APIError(Kind::Validation); }
    static APIError noMorePages() { return APIError(Kind::NoMorePages); }
    static APIError paymentRequired() { return APIError(Kind::PaymentRequired); }
    // A failure that is none of the kinds above, with what is known of it.
    static APIError failure(Cause cause, int httpStatus = 0) {
        APIError error(Kind::Unknown);
        error.m_cause = cause;
        error.m_httpStatus = httpStatus;
        return error;
    }

    // Only for the tests' and containers' sake; a real error always names its kind.
    APIError() : APIError(Kind::Unknown) {}

    // The refusal of a rate-limit guard while a limit it recorded lies ahead: no
    // request was sent, and `retryAfter` is what is left of that limit. Equal to the
    // `rateLimited` a server's 429 gives; only the handlers that record limits tell
    // them apart, so that passing a refusal on never moves the limit.
    static APIError refusedByRateLimit(std::int64_t secondsLeft) {
        APIError error(Kind::RateLimited, secondsLeft);
        error.m_refusedLocally = true;
        return error;
    }

    Kind kind() const { return m_kind; }
    bool isLocalRefusal() const { return m_refusedLocally; }
    bool is(Kind kind) const { return m_kind == kind; }
    Cause cause() const { return m_cause; }
    // Nothing of the request reached the server: no connection was made, or it was
    // never built.
    bool neverSent() const { return m_neverSent; }
    APIError asNeverSent() const {
        APIError copy = *this;
        copy.m_neverSent = true;
        return copy;
    }
    // The status the server answered with; 0 when there was no HTTP answer.
    int httpStatus() const { return m_httpStatus; }
    // The host the request went to; empty when not known.
    const QString& host() const { return m_host; }
    APIError withHost(const QString& host) const {
        APIError copy = *this;
        copy.m_host = host;
        return copy;
    }
    APIError withHttpStatus(int status) const {
        APIError copy = *this;
        copy.m_httpStatus = status;
        return copy;
    }
    // The server refused the account's access (401 or 403), whatever kind it was
    // reported as.
    bool isAccessRefused() const {
        return m_kind == Kind::Unauthorized || m_httpStatus == 401 || m_httpStatus == 403;
    }
    // Seconds to wait, only for `RateLimited`; absent when the server gave none.
    std::optional<std::int64_t> retryAfter() const { return m_retryAfter; }

    // Same kind, and for rate limits the same (or equally absent) wait. The cause, the
    // status and the host tell the user more but do not make another error.
    friend bool operator==(const APIError& a, const APIError& b) {
        return a.m_kind == b.m_kind && a.m_retryAfter == b.m_retryAfter;
    }

    // "rateLimited(30)", "unauthorized": for logs and test output.
    QString description() const;

    // Reads a "Retry-After" value: an optional sign and decimal digits, nothing
    // else. Anything that is not such a number (blank, fraction, HTTP date) is
    // absent; a negative wait becomes 0 and one beyond the 64-bit range saturates,
    // so no caller ever sees a wait it cannot use.
    static std::optional<std::int64_t> parseRetryAfter(std::string_view text);

private:
    explicit APIError(Kind kind, std::optional<std::int64_t> retryAfter = std::nullopt)
        : m_kind(kind), m_retryAfter(kind == Kind::RateLimited ? retryAfter : std::nullopt) {}

    Kind m_kind;
    std::optional<std::int64_t> m_retryAfter;
    bool m_refusedLocally = false;
    bool m_neverSent = false;
    Cause m_cause = Cause::None;
    int m_httpStatus = 0;
    QString m_host;
};

} // namespace velmora
