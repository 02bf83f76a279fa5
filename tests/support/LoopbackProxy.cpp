#include "tests/support/LoopbackProxy.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>

#include <cstring>

namespace velmora::test {

LoopbackProxy::LoopbackProxy() {
    m_server.listen(QHostAddress::LocalHost);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* client = m_server.nextPendingConnection()) {
            take(client);
        }
    });
}

LoopbackProxy::~LoopbackProxy() = default;

QByteArray LoopbackProxy::address(const QByteArray& user, const QByteArray& password, const QByteArray& scheme) const {
    const QByteArray credential =
        user.isEmpty() ? QByteArray() : QUrl::toPercentEncoding(user) + ':' + QUrl::toPercentEncoding(password) + '@';
    return scheme + "://" + credential + "127.0.0.1:" + QByteArray::number(port());
}

void LoopbackProxy::take(QTcpSocket* client) {
    client->setParent(this);
    auto head = std::make_shared<QByteArray>();
    connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QTcpSocket::readyRead, this, [this, client, head] {
        if (client->property("relaying").toBool()) {
            return;
        }
        head->append(client->readAll());
        if (head->isEmpty()) {
            return;
        }
        if (client->property("socks").toBool() || head->at(0) == 4 || head->at(0) == 5) {
            client->setProperty("socks", true);
            takeSocks(client, *head);
            return;
        }
        const qsizetype end = head->indexOf("\r\n\r\n");
        if (end < 0) {
            if (head->size() > 64 * 1024) {
                client->abort();
            }
            return;
        }
        client->setProperty("relaying", true);
        const QByteArray requestLine = head->left(head->indexOf("\r\n"));
        const QList<QByteArray> parts = requestLine.split(' ');
        if (parts.size() != 3) {
            client->abort();
            return;
        }
        Request request{parts[0], parts[1], {}};
        for (const QByteArray& line : head->left(end).split('\n')) {
            if (line.toLower().startsWith("proxy-authorization:")) {
                request.proxyAuthorization = line.mid(20).trimmed();
            }
        }
        m_requests.push_back(request);
        const bool tunnel = request.method == "CONNECT";
        const QUrl url = tunnel ? QUrl(QStringLiteral("//") + QString::fromLatin1(request.target))
                                : QUrl::fromEncoded(request.target);
        QByteArray first;
        if (tunnel) {
            first = head->mid(end + 4);
        } else {
            // The request as the server takes it: its path alone in the request line.
            QByteArray rest = head->mid(head->indexOf("\r\n"));
            first = request.method + ' ' + url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) +
                    " HTTP/1.1" + rest;
        }
        const QByteArray granted = tunnel ? QByteArray("HTTP/1.1 200 Connection established\r\n\r\n") : QByteArray();
        relay(client, quint16(url.port(tunnel ? 443 : 80)), granted, first);
    });
}

void LoopbackProxy::relay(QTcpSocket* client, quint16 port, const QByteArray& granted, const QByteArray& first) {
    client->setProperty("relaying", true);
    auto* upstream = new QTcpSocket(client);
    QPointer<QTcpSocket> to(client);
    connect(upstream, &QTcpSocket::connected, this, [client, upstream, granted, first] {
        if (!granted.isEmpty()) {
            client->write(granted);
        }
        if (!first.isEmpty()) {
            upstream->write(first);
        }
        if (client->bytesAvailable() > 0) {
            upstream->write(client->readAll());
        }
    });
    connect(upstream, &QTcpSocket::readyRead, this, [client, upstream] { client->write(upstream->readAll()); });
    connect(client, &QTcpSocket::readyRead, this, [client, upstream] {
        if (upstream->state() == QAbstractSocket::ConnectedState) {
            upstream->write(client->readAll());
        }
    });
    connect(upstream, &QTcpSocket::disconnected, this, [to] {
        if (to) {
            to->disconnectFromHost();
        }
    });
    connect(upstream, &QTcpSocket::errorOccurred, this, [to] {
        if (to) {
            to->disconnectFromHost();
        }
    });
    connect(client, &QTcpSocket::disconnected, upstream, [upstream] { upstream->abort(); });
    upstream->connectToHost(QHostAddress::LocalHost, port);
}

// SOCKS4, 4a and 5 (no credential, or a name and a password), CONNECT only: the target as the
// client named it (a name, or an address it looked up itself) is what the request records.
void LoopbackProxy::takeSocks(QTcpSocket* client, QByteArray& in) {
    const auto u8 = [&in](qsizetype at) { return quint8(in.at(at)); };
    const auto portAt = [&](qsizetype at) { return quint16(u8(at) << 8 | u8(at + 1)); };
    Request request;
    quint16 port = 0;
    qsizetype used = 0;
    QByteArray granted;
    if (in.at(0) == 4) {
        const qsizetype userEnd = in.indexOf('\0', 8);
        if (in.size() < 9 || userEnd < 0) {
            return;
        }
        port = portAt(2);
        const bool named = u8(4) == 0 && u8(5) == 0 && u8(6) == 0 && u8(7) != 0;
        QByteArray host = QHostAddress(quint32(u8(4) << 24 | u8(5) << 16 | u8(6) << 8 | u8(7))).toString().toLatin1();
        used = userEnd + 1;
        if (named) {
            const qsizetype nameEnd = in.indexOf('\0', used);
            if (nameEnd < 0) {
                return;
            }
            host = in.mid(used, nameEnd - used);
            used = nameEnd + 1;
        }
        request = {named ? "SOCKS4A" : "SOCKS4", host + ':' + QByteArray::number(port), in.mid(8, userEnd - 8)};
        granted = QByteArray("\0\x5a", 2) + in.mid(2, 6);
    } else {
        if (client->property("socksStep").toInt() == 0) {
            if (in.size() < 2 || in.size() < 2 + u8(1)) {
                return;
            }
            const bool password = in.mid(2, u8(1)).contains('\x02');
            client->write(QByteArray("\x05", 1) + (password ? "\x02" : QByteArray(1, '\0')));
            client->setProperty("socksStep", password ? 1 : 2);
            in.remove(0, 2 + u8(1));
            if (in.isEmpty()) {
                return;
            }
        }
        if (client->property("socksStep").toInt() == 1) {
            if (in.size() < 2 || in.size() < 3 + u8(1) || in.size() < 3 + u8(1) + u8(2 + u8(1))) {
                return;
            }
            const int userLength = u8(1);
            const int passwordLength = u8(2 + userLength);
            m_socksCredential = in.mid(2, userLength) + ':' + in.mid(3 + userLength, passwordLength);
            client->write(QByteArray("\x01\0", 2));
            client->setProperty("socksStep", 2);
            in.remove(0, 3 + userLength + passwordLength);
        }
        if (in.size() < 5) {
            return;
        }
        QByteArray host;
        if (u8(3) == 1 && in.size() >= 10) {
            host = QHostAddress(quint32(u8(4) << 24 | u8(5) << 16 | u8(6) << 8 | u8(7))).toString().toLatin1();
            used = 10;
        } else if (u8(3) == 3 && in.size() >= 7 + u8(4)) {
            host = in.mid(5, u8(4));
            used = 7 + u8(4);
        } else if (u8(3) == 4 && in.size() >= 22) {
            Q_IPV6ADDR bytes;
            std::memcpy(&bytes, in.constData() + 4, 16);
            host = QHostAddress(bytes).toString().toLatin1();
            used = 22;
        } else {
            return;
        }
        port = portAt(used - 2);
        request = {u8(3) == 3 ? "SOCKS5H" : "SOCKS5", host + ':' + QByteArray::number(port), m_socksCredential};
        granted = QByteArray("\x05\0\0\x01\0\0\0\0\0\0", 10);
    }
    m_requests.push_back(request);
    relay(client, port, granted, in.mid(used));
}

} // namespace velmora::test
