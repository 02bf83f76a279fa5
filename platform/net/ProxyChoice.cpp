#include "platform/net/ProxyChoice.h"

#include <QNetworkProxyFactory>

namespace velmora {

ProxyChoice ProxyChoice::forUrl(const QUrl& url) {
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
        return {address.toEncoded(), proxy.user().toUtf8(), proxy.password().toUtf8()};
    }
    return {};
}

} // namespace velmora
