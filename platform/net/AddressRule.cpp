#include "platform/net/AddressRule.h"

#include <utility>

namespace velmora {

namespace {

AddressPlace placeOfIpv4(quint32 a) {
    const auto in = [a](quint32 network, int bits) { return (a >> (32 - bits)) == (network >> (32 - bits)); };
    if (in(0x7f000000, 8) || in(0x00000000, 8)) {
        return AddressPlace::Loopback; // 0.0.0.0 reaches this machine too
    }
    if (in(0xa9fe0000, 16)) {
        return AddressPlace::LinkLocal;
    }
    if (in(0x0a000000, 8) || in(0xac100000, 12) || in(0xc0a80000, 16) || in(0x64400000, 10)) {
        return AddressPlace::Private;
    }
    if (in(0xe0000000, 4) || in(0xf0000000, 4) || in(0xc0000000, 24) || in(0xc0000200, 24) ||
        in(0xc6120000, 15) || in(0xc6336400, 24) || in(0xcb007100, 24)) {
        return AddressPlace::Unusable; // multicast, reserved and broadcast, protocol assignments, tests
    }
    return AddressPlace::Public;
}

} // namespace

AddressPlace placeOfAddress(const QHostAddress& address) {
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4); // an IPv4-mapped IPv6 address too
    if (isIpv4) {
        return placeOfIpv4(ipv4);
    }
    if (address.protocol() != QAbstractSocket::IPv6Protocol) {
        return AddressPlace::Unusable;
    }
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    const auto v4At = [&](int offset) {
        return quint32(bytes[offset]) << 24 | quint32(bytes[offset + 1]) << 16 |
               quint32(bytes[offset + 2]) << 8 | quint32(bytes[offset + 3]);
    };
    if (address.isLoopback() || address == QHostAddress(QHostAddress::AnyIPv6)) {
        return AddressPlace::Loopback;
    }
    if (bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80) {
        return AddressPlace::LinkLocal;
    }
    if ((bytes[0] & 0xfe) == 0xfc || (bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0xc0)) {
        return AddressPlace::Private; // unique local, and the old site-local
    }
    // NAT64 and 6to4 carry an IPv4 address, which says where they lead.
    if (bytes[0] == 0x00 && bytes[1] == 0x64 && bytes[2] == 0xff && bytes[3] == 0x9b) {
        return placeOfIpv4(v4At(12));
    }
    if (bytes[0] == 0x20 && bytes[1] == 0x02) {
        return placeOfIpv4(v4At(2));
    }
    if (bytes[0] == 0x20 && bytes[1] == 0x01 && bytes[2] == 0x0d && bytes[3] == 0xb8) {
        return AddressPlace::Unusable; // documentation
    }
    if ((bytes[0] & 0xe0) == 0x20) {
        return AddressPlace::Public; // global unicast
    }
    return AddressPlace::Unusable;
}

QString hostAsResolved(QString host) {
    while (host.endsWith(QLatin1Char('.'))) {
        host.chop(1);
    }
    return host.toLower();
}

std::optional<QHostAddress> addressLiteral(QString host) {
    host = hostAsResolved(std::move(host));
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
    }
    const QHostAddress address(host);
    return address.isNull() ? std::nullopt : std::optional<QHostAddress>(address);
}

bool AddressRule::mayFollow(AddressPlace start, AddressPlace to) {
    switch (start) {
    case AddressPlace::Public:
        return to == AddressPlace::Public;
    case AddressPlace::Private:
        return to == AddressPlace::Private || to == AddressPlace::Public;
    case AddressPlace::Loopback:
        return to == AddressPlace::Loopback;
    case AddressPlace::LinkLocal:
    case AddressPlace::Unusable:
        return false;
    }
    return false;
}

std::optional<QString> AddressRule::refusal(std::optional<AddressPlace> start, const QHostAddress& address,
                                            const QString& host) const {
    const AddressPlace to = place(address);
    if (start) {
        if (!mayFollow(*start, to)) {
            return QStringLiteral("Redirect refused: %1 leads further inward than the first server")
                .arg(host);
        }
        return std::nullopt;
    }
    if (to == AddressPlace::LinkLocal || to == AddressPlace::Unusable) {
        return QStringLiteral("Refused: %1 is on the local link").arg(host);
    }
    return std::nullopt;
}

} // namespace velmora
