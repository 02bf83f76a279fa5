#pragma once

#include <QString>

namespace velmora {

// Why a request got no complete HTTP answer.
struct TransportError {
    enum class Kind {
        TimedOut,         // no progress for the request time-out, or over the resource time-out
        InvalidRequest,   // the request cannot be sent as it is (no usable URL)
        TlsFailure,       // the server's certificate or the TLS handshake was refused
        ConnectionFailed, // no connection, or it broke before the answer was complete
        ProtocolFailure,  // the server did not answer in HTTP
        TooLarge,         // the answer's body is larger than the request may keep
    };

    Kind kind = Kind::ConnectionFailed;
    QString message;
    // No connection was made (refused, no such host, the handshake refused): nothing of
    // the request reached the server. Otherwise it may have, even without an answer.
    bool neverSent = false;

    // "timed out: ...": for logs.
    QString description() const;

    friend bool operator==(const TransportError& a, const TransportError& b) { return a.kind == b.kind; }
};

} // namespace velmora
