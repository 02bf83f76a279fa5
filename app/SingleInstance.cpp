#include "app/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace velmora {

namespace {

// Whether `path` is a folder (not a link to one) that only this user may enter or
// change; a folder of the user's own with looser permissions is tightened. Made when
// missing.
bool isPrivateFolder(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    ::mkdir(native.constData(), 0700);
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
        return false;
    }
    if ((info.st_mode & 0077) != 0 && ::chmod(native.constData(), 0700) != 0) {
        return false;
    }
    return true;
}

} // namespace

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
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty() || !isPrivateFolder(folder)) {
        // Qt finds no runtime folder when its fallback in the temporary folder belongs
        // to someone else; the user's cache folder is the user's alone.
        const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
        if (cache.isEmpty() || !QDir().mkpath(cache)) {
            return {};
        }
        folder = QDir(cache).filePath(QStringLiteral("velmora-run"));
        if (!isPrivateFolder(folder)) {
            return {};
        }
    }
    const QString path = QDir(folder).filePath(name);
    // A longer path does not fit a socket address.
    if (QFile::encodeName(path).size() >= static_cast<qsizetype>(sizeof(sockaddr_un::sun_path))) {
        return {};
    }
    return path;
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
    if (m_name.isEmpty()) {
        return false;
    }
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
    if (m_name.isEmpty()) {
        return false;
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    m_server->setMaxPendingConnections(m_limits.maxConnections);
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
        if (m_connections >= m_limits.maxConnections) {
            // Busy with as many as a person's starts could make: this one is dropped.
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++m_connections;
        connect(socket, &QObject::destroyed, this, [this] { --m_connections; });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto drop = [socket] {
            socket->abort();
            socket->deleteLater();
        };
        // A start hands its links over at once; a peer that dawdles is dropped.
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, drop);
        deadline->start(m_limits.messageTimeoutMs);
        // The message so far, and how far it was searched for its end.
        auto received = std::make_shared<QByteArray>();
        auto searched = std::make_shared<qsizetype>(0);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, drop, received, searched] {
            received->append(socket->read(m_limits.maxMessage + 2 - received->size()));
            // Everything up to the empty line that ends the message.
            const qsizetype end = received->startsWith('\n')
                                      ? 0
                                      : received->indexOf("\n\n", std::max<qsizetype>(*searched - 1, 0));
            *searched = received->size();
            if (end < 0) {
                if (received->size() > m_limits.maxMessage) {
                    drop();
                }
                return;
            }
            const QByteArray message = received->left(end == 0 ? 1 : end + 2);
            // One message a connection: whatever follows is not read.
            drop();
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
