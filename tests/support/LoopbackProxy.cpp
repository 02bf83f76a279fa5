#include "tests/support/LoopbackProxy.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>

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

QByteArray LoopbackProxy::address(const QByteArray& user, const QByteArray& password) const {
    const QByteArray credential = user.isEmpty() ? QByteArray() : user + ':' + password + '@';
    return "http://" + credential + "127.0.0.1:" + QByteArray::number(port());
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
        auto* upstream = new QTcpSocket(client);
        QPointer<QTcpSocket> to(client);
        connect(upstream, &QTcpSocket::connected, this, [client, upstream, tunnel, first] {
            if (tunnel) {
                client->write("HTTP/1.1 200 Connection established\r\n\r\n");
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
        upstream->connectToHost(QHostAddress::LocalHost, quint16(url.port(tunnel ? 443 : 80)));
    });
}

} // namespace velmora::test
