#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

#include <vector>

namespace velmora::test {

// An HTTP proxy on 127.0.0.1 that takes requests in absolute form ("GET http://host:port/...")
// and tunnels ("CONNECT host:port"), and a SOCKS4/4a/5 proxy on the same port, on the thread that made it (its event loop runs it). Every
// target is reached at 127.0.0.1 on the target's port, whatever its name: the fake servers of
// the tests stand for every host.
class LoopbackProxy : public QObject {
public:
    LoopbackProxy();
    ~LoopbackProxy() override;

    // "<scheme>://127.0.0.1:port", with `user` and `password` when given.
    QByteArray address(const QByteArray& user = {}, const QByteArray& password = {},
                       const QByteArray& scheme = "http") const;
    quint16 port() const { return m_server.serverPort(); }

    struct Request {
        QByteArray method;  // SOCKS4, SOCKS4A, SOCKS5 or SOCKS5H (a name) for SOCKS
        QByteArray target;  // as the request line named it; "host:port" for SOCKS
        QByteArray proxyAuthorization; // "user:password" for SOCKS
    };
    const std::vector<Request>& requests() const { return m_requests; }

private:
    void take(class QTcpSocket* client);
    void takeSocks(QTcpSocket* client, QByteArray& in);
    void relay(QTcpSocket* client, quint16 port, const QByteArray& granted, const QByteArray& first);

    QTcpServer m_server;
    std::vector<Request> m_requests;
    QByteArray m_socksCredential;
};

} // namespace velmora::test
