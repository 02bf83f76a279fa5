#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

namespace velmora {

// The proxy the user's configuration names for a URL.
struct ProxyChoice {
    // "<scheme>://host:port" (http, https, socks4, socks4a, socks5, socks5h); empty: none.
    QByteArray proxy;
    QByteArray user;
    QByteArray password;
    // A proxy was named that cannot be used (a scheme not spoken, no host): why, naming the
    // setting. The request is refused, never sent direct in its place.
    QString refusal;

    // The proxy looks the target's name up (socks5h, socks4a): this side never does.
    bool resolvesNames() const { return resolvesNames(proxy); }
    static bool resolvesNames(const QByteArray& proxy);

    // As the system's configuration names it: the environment's variables in either case
    // (https_proxy, then http_proxy, with no_proxy's exceptions), otherwise the desktop's
    // settings as Qt reports them. A request to this machine goes direct.
    static ProxyChoice forUrl(const QUrl& url);
    // One setting's value ("socks5h://user:pw@host:1080", a bare "host:port" for HTTP), the
    // setting named in a refusal.
    static ProxyChoice fromSetting(const QByteArray& value, const QString& setting);
};

} // namespace velmora
