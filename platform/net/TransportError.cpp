#include "platform/net/TransportError.h"

namespace velmora {

QString TransportError::description() const {
    QString what;
    switch (kind) {
    case Kind::TimedOut:
        what = QStringLiteral("timed out");
        break;
    case Kind::InvalidRequest:
        what = QStringLiteral("invalid request");
        break;
    case Kind::TlsFailure:
        what = QStringLiteral("TLS failure");
        break;
    case Kind::ConnectionFailed:
        what = QStringLiteral("connection failed");
        break;
    case Kind::ProtocolFailure:
        what = QStringLiteral("protocol failure");
        break;
    case Kind::TooLarge:
        what = QStringLiteral("answer too large");
        break;
    }
    return message.isEmpty() ? what : what + QStringLiteral(": ") + message;
}

} // namespace velmora
