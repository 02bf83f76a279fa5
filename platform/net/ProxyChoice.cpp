#include "platform/net/ProxyChoice.h"

#include "platform/net/AddressRule.h"

#include <QNetworkProxyFactory>
#include <QRegularExpression>

#include <array>

namespace velmora {

namespace {

// The schemes libcurl speaks to a proxy ("socks" is taken, as elsewhere, for SOCKS5).
QByteArray spokenScheme(const QByteArray& scheme) {
    static constexpr std::array<const char*, 6> spoken{"http", "https", "socks4", "socks4a", "socks5", "socks5h"};
    for (const char* each : spoken) {
        if (scheme == each) {
            return scheme;
        }
    }
    return scheme == "socks" ? QByteArray("socks5") : QByteArray();
}

// A variable of the environment in either case, lower first; its name as found.
std::pair<QByteArray, QString> environmentVariable(const char* lower) {
    const QByteArray upper = QByteArray(lower).toUpper();
    for (const QByteArray& name : {QByteArray(lower), upper}) {
        const QByteArray value = qgetenv(name.constData()).trimmed();
        if (!value.isEmpty()) {
            return {value, QString::fromLatin1(name)};
        }
    }
    return {};
}

// Whether no_proxy names `host`: "*", the name itself, or a domain it is under (".example.com"
// and "example.com" alike); a port after an entry is not looked at.
bool exceptedByEnvironment(const QString& host) {
    const QString list = QString::fromLocal8Bit(environmentVariable("no_proxy").first);
    for (QString entry : list.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts)) {
        entry = entry.toLower();
        if (entry == QLatin1String("*")) {
            return true;
        }
        if (const qsizetype colon = entry.lastIndexOf(QLatin1Char(':'));
            colon > 0 && !entry.contains(QLatin1Char(']')) && entry.count(QLatin1Char(':')) == 1) {
            entry.truncate(colon);
        }
        entry.remove(QRegularExpression(QStringLiteral("^\\*?\\.")));
        if (entry.startsWith(QLatin1Char('[')) && entry.endsWith(QLatin1Char(']'))) {
            entry = entry.mid(1, entry.size() - 2);
        }
        if (!entry.isEmpty() && (host == entry || host.endsWith(QLatin1Char('.') + entry))) {
            return true;
        }
    }
    return false;
}

// This machine, by name or address, is never reached through a proxy.
bool isThisMachine(const QString& host) {
    if (hostAsResolved(host) == QLatin1String("localhost")) {
        return true;
    }
    const auto literal = addressLiteral(host);
    return literal && literal->isLoopback();
}

ProxyChoice fromQt(const QUrl& url) {
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
    for (const QNetworkProxy& proxy : proxies) {
        QByteArray scheme;
        switch (proxy.type()) {
        case QNetworkProxy::NoProxy:
            return {};
        case QNetworkProxy::HttpProxy:
            scheme = "http";
            break;
        case QNetworkProxy::HttpCachingProxy:
            if (url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0) {
                continue;
            }
            scheme = "http";
            break;
        case QNetworkProxy::Socks5Proxy:
            scheme = "socks5h";
            break;
        default:
            continue;
        }
        QUrl address;
        address.setScheme(QString::fromLatin1(scheme));
        address.setHost(proxy.hostName());
        address.setPort(proxy.port());
        return {address.toEncoded(), proxy.user().toUtf8(), proxy.password().toUtf8(), {}};
    }
    if (!proxies.isEmpty()) {
        ProxyChoice refused;
        refused.refusal = QStringLiteral("the desktop's proxy settings name no proxy spoken here; nothing is sent");
        return refused;
    }
    return {};
}

} // namespace

bool ProxyChoice::resolvesNames(const QByteArray& proxy) {
    return proxy.startsWith("socks5h://") || proxy.startsWith("socks4a://");
}

ProxyChoice ProxyChoice::fromSetting(const QByteArray& value, const QString& setting) {
    ProxyChoice choice;
    const QByteArray text = value.trimmed();
    const QUrl url = QUrl::fromEncoded(text.contains("://") ? text : "http://" + text, QUrl::StrictMode);
    const QByteArray scheme = spokenScheme(url.scheme().toLower().toLatin1());
    if (scheme.isEmpty()) {
        choice.refusal = QStringLiteral("%1 names a proxy of the scheme \"%2\", which is not spoken here; nothing is sent")
                             .arg(setting, url.isValid() ? url.scheme().left(32) : QString::fromLatin1(text.left(32)));
        return choice;
    }
    if (!url.isValid() || url.host().isEmpty()) {
        choice.refusal = QStringLiteral("%1 names no proxy host; nothing is sent").arg(setting);
        return choice;
    }
    QUrl address;
    address.setScheme(QString::fromLatin1(scheme));
    address.setHost(url.host());
    address.setPort(url.port(scheme == "http" ? 8080 : -1));
    choice.proxy = address.toEncoded();
    choice.user = url.userName(QUrl::FullyDecoded).toUtf8();
    choice.password = url.password(QUrl::FullyDecoded).toUtf8();
    return choice;
}

ProxyChoice ProxyChoice::forUrl(const QUrl& url) {
    const QString host = url.host().toLower();
    if (isThisMachine(host)) {
        return {};
    }
    const bool https = url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    auto [value, name] = https ? environmentVariable("https_proxy") : std::pair<QByteArray, QString>();
    if (value.isEmpty()) {
        std::tie(value, name) = environmentVariable("http_proxy");
    }
    if (value.isEmpty()) {
        return fromQt(url);
    }
    return exceptedByEnvironment(host) ? ProxyChoice() : fromSetting(value, name);
}

} // namespace velmora
