#pragma once

#include <QByteArray>
#include <QUrl>

namespace velmora {

// The proxy the user's configuration names for a URL.
struct ProxyChoice {
    // "http://host:port" or "socks5h://host:port"; empty: none, whatever the environment says.
    QByteArray proxy;
    QByteArray user;
    QByteArray password;

    // As the system's configuration names it (the environment's variables in either case, the
    // desktop's settings), as Qt's own requests took it: a request to this machine, or to a
    // name the exceptions (NO_PROXY) list, goes direct.
    static ProxyChoice forUrl(const QUrl& url);
};

} // namespace velmora
