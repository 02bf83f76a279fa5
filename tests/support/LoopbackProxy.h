#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

#include <vector>

namespace velmora::test {

// An HTTP proxy on 127.0.0.1 that takes requests in absolute form ("GET http://host:port/...")
// and tunnels ("CONNECT host:port"), on the thread that made it (its event loop runs it). Every
// target is reached at 127.0.0.1 on the target's port, whatever its name: the fake servers of
// the tests stand for every host.
class LoopbackProxy : public QObject {
public:
    LoopbackProxy();
    ~LoopbackProxy() override;

    // "http://127.0.0.1:port", with `user` and `password` when given.
    QByteArray address(const QByteArray& user = {}, const QByteArray& password = {}) const;
    quint16 port() const { return m_server.serverPort(); }

    struct Request {
        QByteArray method;
        QByteArray target; // as the request line named it
        QByteArray proxyAuthorization;
    };
    const std::vector<Request>& requests() const { return m_requests; }

private:
    void take(class QTcpSocket* client);

    QTcpServer m_server;
    std::vector<Request> m_requests;
};

} // namespace velmora::test
