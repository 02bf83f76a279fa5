#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

#include <unistd.h>

namespace velmora {

QString SingleInstance::defaultName() {
    // Tests run their own app beside the user's.
    const QString named = qEnvironmentVariable("VELMORA_INSTANCE_NAME");
    if (!named.isEmpty()) {
        return named;
    }
    const QString name = QStringLiteral("velmora-%1").arg(::getuid());
    // A bare name would put the socket in the shared temporary folder, where any user
    // of the machine can make a socket of that name first and so be handed the links
    // (with their sign-in tokens) of every later start. The runtime folder is the
    // user's alone, and each session (each throw-away home of a test run) has its own.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty()) {
        return name;
    }
    return QDir(runtime).filePath(name);
}

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), m_name(std::move(name)) {}

SingleInstance::~SingleInstance() = default;

QStringList SingleInstance::linksIn(const QStringList& arguments) {
    QStringList links;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i).contains(QStringLiteral("://"))) {
            links << arguments.at(i);
        }
    }
    return links;
}

bool SingleInstance::handOver(const QStringList& links, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
    }
    // One link a line; the running app reads until we hang up.
    QByteArray message;
    for (const QString& link : links) {
        message += link.toUtf8() + '\n';
    }
    if (!message.isEmpty()) {
        socket.write(message);
    }
    // An empty line ends the message even when there are no links.
    socket.write("\n");
    if (!socket.waitForBytesWritten(timeoutMs)) {
        return false;
    }
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) {
        socket.waitForDisconnected(timeoutMs);
    }
    return true;
}

bool SingleInstance::listen() {
    if (m_server) {
        return m_server->isListening();
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::accept);
    if (m_server->listen(m_name)) {
        return true;
    }
    // Nobody answered `handOver`, so a socket file there is what a crashed app left.
    QLocalServer::removeServer(m_name);
    return m_server->listen(m_name);
}

bool SingleInstance::isListening() const {
    return m_server && m_server->isListening();
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            // Everything up to the empty line that ends the message.
            const QByteArray all = socket->peek(socket->bytesAvailable());
            const qsizetype end = all.startsWith('\n') ? 0 : all.indexOf("\n\n");
            if (end < 0) {
                return;
            }
            const QByteArray message = socket->read(end == 0 ? 1 : end + 2);
            QStringList links;
            for (const QByteArray& line : message.split('\n')) {
                if (!line.isEmpty()) {
                    links << QString::fromUtf8(line);
                }
            }
            emit linksReceived(links);
        });
    }
}

} // namespace velmora
