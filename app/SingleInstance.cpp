#include "app/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <algorithm>
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

SingleInstance::HandOver SingleInstance::handOver(const QStringList& links, int timeoutMs) {
    if (m_name.isEmpty()) {
        return HandOver::NoRunningApp;
    }
    // One link a line, and an empty line that ends the message even when there are none.
    QByteArray message;
    for (const QString& link : links) {
        message += link.toUtf8() + '\n';
    }
    message += '\n';
    const QDeadlineTimer deadline(timeoutMs);
    // The running app answers a whole message with a word of its own. Without it the message
    // may not have arrived (the app dropped the connection to make room, or is stuck): it is
    // sent again while there is time.
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(m_name);
        if (!socket.waitForConnected(int(std::max<qint64>(1, deadline.remainingTime())))) {
            const auto error = socket.error();
            if (error == QLocalSocket::ServerNotFoundError || error == QLocalSocket::ConnectionRefusedError) {
                // No socket, or one that nobody listens on (what a crashed app left).
                return HandOver::NoRunningApp;
            }
            continue;
        }
        socket.write(message);
        QByteArray answer;
        while (answer.size() < acknowledgement().size() && !deadline.hasExpired() &&
               (socket.bytesAvailable() > 0 ||
                socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))) {
            answer += socket.read(acknowledgement().size() - answer.size());
        }
        if (answer == acknowledgement() || answer == quittingAnswer()) {
            socket.disconnectFromServer();
            return answer == acknowledgement() ? HandOver::Delivered : HandOver::Quitting;
        }
        socket.abort();
        if (!deadline.hasExpired()) {
            QThread::msleep(10);
        }
    }
    return HandOver::NotConfirmed;
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

// A later start's connection: what it sent so far, how far that was searched for the end,
// whether its message is complete (it is answered and closing then) and whether it was dropped.
struct SingleInstance::Peer {
    QPointer<QLocalSocket> socket;
    QByteArray received;
    qsizetype searched = 0;
    bool done = false;
    bool dropped = false;
};

const QByteArray& SingleInstance::acknowledgement() {
    static const QByteArray word = QByteArrayLiteral("received\n");
    return word;
}

const QByteArray& SingleInstance::quittingAnswer() {
    static const QByteArray word = QByteArrayLiteral("quitting\n");
    static_assert(sizeof("quitting\n") == sizeof("received\n"));
    return word;
}

void SingleInstance::drop(Peer& peer) {
    // Once is enough: a socket is aborted and let go a single time.
    if (peer.dropped || !peer.socket) {
        return;
    }
    peer.dropped = true;
    peer.socket->abort();
    peer.socket->deleteLater();
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        // Only peers still sending count; when they are as many as the limit, the one waiting
        // longest makes room (after what it has sent is read). Peers that connect and say
        // nothing thus never keep a later start out, however often they come back.
        m_peers.erase(std::remove_if(m_peers.begin(), m_peers.end(),
                                     [](const std::shared_ptr<Peer>& peer) {
                                         return !peer->socket || peer->done || peer->dropped;
                                     }),
                      m_peers.end());
        while (qsizetype(m_peers.size()) >= std::max(1, m_limits.maxConnections)) {
            const std::shared_ptr<Peer> oldest = m_peers.front();
            m_peers.pop_front();
            // Bytes that arrived but were not read yet: a whole message is still taken (and
            // answered, so its connection closes by itself).
            if (oldest->socket && !oldest->dropped) {
                oldest->socket->waitForReadyRead(0);
                read(*oldest);
            }
            if (!oldest->done) {
                drop(*oldest);
            }
        }
        auto peer = std::make_shared<Peer>();
        peer->socket = socket;
        m_peers.push_back(peer);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A start hands its links over at once; a peer that dawdles is dropped.
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, this, [peer] { drop(*peer); });
        deadline->start(m_limits.messageTimeoutMs);
        connect(socket, &QLocalSocket::readyRead, this, [this, peer] { read(*peer); });
    }
}

void SingleInstance::read(Peer& peer) {
    QLocalSocket* socket = peer.socket;
    if (!socket || peer.done || peer.dropped) {
        return;
    }
    // Never more than one byte past the limit is kept: a longer message is dropped unread.
    peer.received.append(socket->read(m_limits.maxMessage + 2 - peer.received.size()));
    // Everything up to the empty line that ends the message.
    const qsizetype end = peer.received.startsWith('\n')
                              ? 0
                              : peer.received.indexOf("\n\n", std::max<qsizetype>(peer.searched - 1, 0));
    peer.searched = peer.received.size();
    if (end < 0 || end + 2 > m_limits.maxMessage) {
        if (end >= 0 || peer.received.size() > m_limits.maxMessage) {
            drop(peer);
        }
        return;
    }
    const QByteArray message = peer.received.left(end == 0 ? 1 : end + 2);
    // One message a connection: whatever follows is not read. The answer tells the start its
    // links arrived; the connection closes once it is out.
    peer.done = true;
    peer.received.clear();
    socket->write(m_quitting ? quittingAnswer() : acknowledgement());
    socket->disconnectFromServer();
    if (m_quitting) {
        return;
    }
    QStringList links;
    for (const QByteArray& line : message.split('\n')) {
        if (!line.isEmpty()) {
            links << QString::fromUtf8(line);
        }
    }
    emit linksReceived(links);
}

} // namespace velmora
