#pragma once

#include <QHostAddress>
#include <QString>

#include <functional>
#include <optional>

namespace velmora {

// Where an address leads, seen from the user's machine.
enum class AddressPlace {
    Loopback,  // this machine (127.0.0.0/8, ::1, 0.0.0.0/8)
    LinkLocal, // the local link (169.254.0.0/16, fe80::/10)
    Private,   // the user's network (RFC 1918, shared 100.64.0.0/10, unique local fc00::/7)
    Public,    // anywhere else a connection can go
    Unusable,  // multicast, broadcast, reserved: nowhere a transfer goes
};

AddressPlace placeOfAddress(const QHostAddress& address);

// A host as a resolver or a proxy reads it: in lower case, without the trailing dots they drop.
QString hostAsResolved(QString host);

// The address a URL's host spells, however it is spelled ("127.0.0.1.", "[::1]"); none for a
// name. A resolver or a proxy drops a trailing dot, so an address with one is still that address.
std::optional<QHostAddress> addressLiteral(QString host);

// Which addresses a transfer may reach: its first hop never the local link nor what is no
// place, and a later hop (a redirect) never further inward than the first went (public:
// public only; private: private or public; loopback: loopback only). The transport judges
// every connection by it before the connection is made and again before a request goes out
// on one, or, through a proxy, the target's own addresses before the proxy is asked.
struct AddressRule {
    // Where an address leads; none: placeOfAddress. Tests stand loopback addresses in for others.
    std::function<AddressPlace(const QHostAddress&)> placeOf;

    AddressPlace place(const QHostAddress& address) const {
        return placeOf ? placeOf(address) : placeOfAddress(address);
    }
    static bool mayFollow(AddressPlace start, AddressPlace to);
    // Why `address` is refused for a hop of a transfer whose first hop went to `start` (none
    // for the first hop), naming `host`; none: it may be reached.
    std::optional<QString> refusal(std::optional<AddressPlace> start, const QHostAddress& address,
                                   const QString& host) const;
};

} // namespace velmora
