#include "tests/support/LoopbackImageServer.h"

#include "tests/support/FakeHttpsServer.h"

#include <QBuffer>
#include <QFile>
#include <QHostAddress>
#include <QImage>
#include <QImageWriter>
#include <QPointer>
#include <QSemaphore>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <map>
#include <mutex>

#include <zlib.h>

namespace velmora::test {

// --- ImageAnswer --------------------------------------------------------------

ImageAnswer ImageAnswer::image(QByteArray body, QByteArray contentType) {
    ImageAnswer answer;
    answer.body = std::move(body);
    answer.contentType = std::move(contentType);
    return answer;
}

ImageAnswer ImageAnswer::failure(int status, QByteArray body) {
    ImageAnswer answer;
    answer.status = status;
    answer.body = std::move(body);
    answer.contentType = "text/plain";
    return answer;
}

ImageAnswer ImageAnswer::redirect(QByteArray location, int status) {
    ImageAnswer answer;
    answer.status = status;
    answer.contentType = "text/plain";
    answer.headers.append(qMakePair(QByteArray("Location"), std::move(location)));
    return answer;
}

ImageAnswer ImageAnswer::neverAnswered() {
    ImageAnswer answer;
    answer.silent = true;
    return answer;
}

ImageAnswer ImageAnswer::gzipped(const QByteArray& body, double breakAt, QByteArray contentType) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    QByteArray packed(qsizetype(deflateBound(&stream, uLong(body.size()))) + 64, Qt::Uninitialized);
    stream.next_out = reinterpret_cast<Bytef*>(packed.data());
    stream.avail_out = uInt(packed.size());
    const qsizetype cut = qsizetype(double(body.size()) * std::clamp(breakAt, 0.0, 1.0));
    // The part before the break ends on a byte boundary (a full flush), so what follows it starts a
    // block of its own.
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.constData()));
    stream.avail_in = uInt(cut);
    deflate(&stream, Z_FULL_FLUSH);
    const qsizetype whole = qsizetype(stream.total_out);
    stream.avail_in = uInt(body.size() - cut);
    deflate(&stream, Z_FINISH);
    packed.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    if (breakAt < 1.0) {
        // A last block of the type no deflate stream may use: every inflater stops there.
        for (qsizetype i = whole; i < packed.size(); ++i) {
            packed[i] = char(0xff);
        }
    }
    auto answer = image(packed, std::move(contentType));
    answer.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
    return answer;
}

ImageAnswer ImageAnswer::headOnlyAnswer() const {
    auto copy = *this;
    copy.headOnly = true;
    return copy;
}

ImageAnswer ImageAnswer::endlessBody() const {
    auto copy = *this;
    copy.endless = true;
    copy.sendContentLength = false;
    return copy;
}

ImageAnswer ImageAnswer::endlessHeader(bool manyLines) {
    ImageAnswer answer;
    answer.endlessHead = true;
    answer.endlessHeadLines = manyLines;
    return answer;
}

ImageAnswer ImageAnswer::trickledEndlessHeader(int intervalMs) {
    ImageAnswer answer = endlessHeader();
    answer.headTrickleMs = std::max(1, intervalMs);
    return answer;
}

ImageAnswer ImageAnswer::headByteByByte(int intervalMs) {
    ImageAnswer answer = endlessHeader();
    answer.headByteMs = std::max(1, intervalMs);
    return answer;
}

ImageAnswer ImageAnswer::afterInterimAnswer(int status) const {
    auto copy = *this;
    copy.interimStatus = status;
    return copy;
}

ImageAnswer ImageAnswer::cutShort(double fraction, bool announceWhole) const {
    auto copy = *this;
    copy.cutAfter = qsizetype(double(body.size()) * std::clamp(fraction, 0.0, 1.0));
    copy.announceWholeLength = announceWhole;
    return copy;
}

ImageAnswer ImageAnswer::followedBy(QByteArray wholeAnswer, int afterMs) const {
    auto copy = *this;
    copy.strayAnswer = std::move(wholeAnswer);
    copy.strayAfterMs = std::max(0, afterMs);
    return copy;
}

ImageAnswer ImageAnswer::withoutContentLength() const {
    auto copy = *this;
    copy.sendContentLength = false;
    return copy;
}

ImageAnswer ImageAnswer::trickled(int size, int intervalMs) const {
    auto copy = *this;
    copy.chunkSize = size;
    copy.chunkIntervalMs = intervalMs;
    return copy;
}

ImageAnswer ImageAnswer::withLatency(int ms) const {
    auto copy = *this;
    copy.latencyMs = ms;
    return copy;
}

ImageAnswer ImageAnswer::withHeader(QByteArray name, QByteArray value) const {
    auto copy = *this;
    copy.headers.append({std::move(name), std::move(value)});
    return copy;
}

ImageAnswer ImageAnswer::withContentType(QByteArray type) const {
    auto copy = *this;
    copy.contentType = std::move(type);
    return copy;
}

// --- shared state ------------------------------------------------------------

// Where the answer to a request that carries an Authorization header is kept, beside its path's.
namespace {
constexpr char authorizedRoute[] = " (authorized)";
} // namespace

struct LoopbackImageServer::Shared {
    mutable std::mutex mutex;
    std::map<QByteArray, ImageAnswer> routes;
    std::map<QByteArray, int> counts;
    std::map<QByteArray, QList<QPair<QByteArray, QByteArray>>> lastHeaders;
    std::map<QByteArray, QByteArray> lastMethods;
    std::map<QByteArray, bool> holding;
    std::map<QByteArray, int> held;
    int total = 0;
    int latencyMs = 0;
    int openConnections = 0;
    int peakConnections = 0;
    int acceptedConnections = 0;
    int straysSent = 0;
    int straysDue = 0;
    qint64 bodyBytesSent = 0;
    qint64 bytesSent = 0;
    bool ignoresConnectionClose = false;
    int idleCloseMs = -1;
    bool closesKeptOnRequest = false;
};

// --- worker on the server's thread ----------------------------------------------

class LoopbackImageServer::Worker : public QObject {
public:
    Worker(std::shared_ptr<Shared> shared, Scheme scheme, QHostAddress address)
        : m_shared(std::move(shared)), m_scheme(scheme), m_address(std::move(address)) {}

    quint16 start() {
        if (m_scheme == Scheme::Https) {
            auto* server = new QSslServer(this);
            const QString base = FakeHttpsServer::certificatesDirectory() + QStringLiteral("/server");
            QFile certFile(base + QStringLiteral(".pem"));
            QFile keyFile(base + QStringLiteral(".key.pem"));
            if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
                qFatal("LoopbackImageServer: cannot read the test certificate");
            }
            const auto chain = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
            const QSslKey key(keyFile.readAll(), QSsl::Rsa, QSsl::Pem);
            auto config = QSslConfiguration::defaultConfiguration();
            config.setLocalCertificate(chain.value(0));
            config.setPrivateKey(key);
            config.setPeerVerifyMode(QSslSocket::VerifyNone);
            server->setSslConfiguration(config);
            m_server = server;
        } else {
            m_server = new QTcpServer(this);
        }
        connect(m_server, &QTcpServer::pendingConnectionAvailable, this, [this] { accept(); });
        if (!m_server->listen(m_address, 0)) {
            qWarning("LoopbackImageServer: cannot listen: %s", qPrintable(m_server->errorString()));
        }
        return m_server->serverPort();
    }

    void releaseHeld(const QByteArray& path) {
        auto waiting = std::move(m_waiting[path]);
        m_waiting.erase(path);
        for (const auto& socket : waiting) {
            if (socket) {
                answer(socket, path);
            }
        }
    }

    void stop() {
        for (auto* socket : m_server->findChildren<QTcpSocket*>()) {
            socket->disconnect(this);
            socket->abort();
        }
        m_server->close();
    }

private:
    struct Connection {
        QByteArray buffer;
        bool answering = false;
        // The request asked for the connection to close once it is answered.
        bool closeAfter = false;
        int answered = 0;
    };

    void accept() {
        while (m_server->hasPendingConnections()) {
            QTcpSocket* socket = m_server->nextPendingConnection();
            if (!socket) {
                continue;
            }
            {
                std::lock_guard lock(m_shared->mutex);
                ++m_shared->openConnections;
                ++m_shared->acceptedConnections;
                m_shared->peakConnections = std::max(m_shared->peakConnections, m_shared->openConnections);
            }
            m_connections[socket] = Connection();
            connect(socket, &QIODevice::readyRead, this, [this, socket] { read(socket); });
            connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
                if (m_connections.erase(socket)) {
                    std::lock_guard lock(m_shared->mutex);
                    --m_shared->openConnections;
                }
                socket->deleteLater();
            });
            if (socket->bytesAvailable() > 0) {
                read(socket);
            }
        }
    }

    void read(QTcpSocket* socket) {
        const auto it = m_connections.find(socket);
        if (it == m_connections.end()) {
            return;
        }
        Connection& connection = it->second;
        connection.buffer += socket->readAll();
        if (connection.answering) {
            return;
        }
        const auto headEnd = connection.buffer.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            return;
        }
        const QByteArray head = connection.buffer.left(headEnd);
        connection.buffer.remove(0, headEnd + 4);
        const auto lines = head.split('\n');
        const auto requestLine = lines.value(0).trimmed().split(' ');
        const QByteArray method = requestLine.value(0);
        QByteArray path = requestLine.value(1);
        if (const auto query = path.indexOf('?'); query >= 0) {
            path.truncate(query);
        }
        QList<QPair<QByteArray, QByteArray>> headers;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const auto colon = line.indexOf(':');
            if (colon > 0) {
                headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
            }
        }
        connection.answering = true;
        bool hold = false;
        bool dropped = false;
        {
            std::lock_guard lock(m_shared->mutex);
            dropped = m_shared->closesKeptOnRequest && connection.answered > 0;
            for (const auto& [name, value] : headers) {
                if (name.compare("Connection", Qt::CaseInsensitive) == 0 &&
                    value.toLower().contains("close") && !m_shared->ignoresConnectionClose) {
                    connection.closeAfter = true;
                }
            }
            ++m_shared->counts[path];
            ++m_shared->total;
            m_shared->lastHeaders[path] = headers;
            m_shared->lastMethods[path] = method;
            hold = !dropped && m_shared->holding[path];
            if (hold) {
                ++m_shared->held[path];
            }
        }
        if (dropped) {
            socket->disconnectFromHost();
            return;
        }
        if (hold) {
            m_waiting[path].append(QPointer<QTcpSocket>(socket));
            return;
        }
        const bool authorized = std::any_of(headers.begin(), headers.end(), [](const auto& header) {
            return header.first.compare("Authorization", Qt::CaseInsensitive) == 0;
        });
        answer(socket, authorized && hasRoute(path + authorizedRoute) ? path + authorizedRoute : path);
    }

    bool hasRoute(const QByteArray& path) const {
        std::lock_guard lock(m_shared->mutex);
        return m_shared->routes.count(path) > 0;
    }

    void answer(QTcpSocket* socket, const QByteArray& path) {
        ImageAnswer answer;
        int latency = 0;
        {
            std::lock_guard lock(m_shared->mutex);
            m_shared->held[path] = 0;
            const auto route = m_shared->routes.find(path);
            answer = route != m_shared->routes.end() ? route->second : ImageAnswer::failure(404, "not found");
            latency = m_shared->latencyMs + answer.latencyMs;
        }
        if (answer.silent) {
            return; // the connection stays open until the client gives up
        }
        QPointer<QTcpSocket> guarded(socket);
        auto send = [this, guarded, answer] {
            if (guarded) {
                writeAnswer(guarded, answer);
            }
        };
        if (latency > 0) {
            QTimer::singleShot(latency, this, send);
        } else {
            send();
        }
    }

    void writeAnswer(QTcpSocket* socket, const ImageAnswer& answer) {
        if (answer.interimStatus > 0) {
            write(socket, "HTTP/1.1 " + QByteArray::number(answer.interimStatus) +
                              " Interim\r\nLink: </style.css>; rel=preload; as=style\r\n\r\n");
        }
        if (answer.headByteMs > 0) {
            auto* trickle = new QTimer(socket);
            auto sent = std::make_shared<qsizetype>(0);
            connect(trickle, &QTimer::timeout, socket, [this, socket, sent] {
                static const QByteArray start = "HTTP/1.1 200 ";
                write(socket, *sent < start.size() ? start.mid((*sent)++, 1) : QByteArray("a"));
            });
            trickle->start(answer.headByteMs);
            return;
        }
        if (answer.endlessHead) {
            write(socket, "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n");
            if (answer.endlessHeadLines) {
                writeEndlessly(QPointer<QTcpSocket>(socket), "X-Line: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n",
                               false);
            } else if (answer.headTrickleMs > 0) {
                auto* trickle = new QTimer(socket);
                connect(trickle, &QTimer::timeout, socket,
                        [this, socket] { write(socket, "X-Slow: a\r\n"); });
                trickle->start(answer.headTrickleMs);
            } else {
                write(socket, "X-Endless: ");
                writeEndlessly(QPointer<QTcpSocket>(socket), QByteArray(1024, 'a'), false);
            }
            return;
        }
        QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " Answer\r\n";
        if (!answer.contentType.isEmpty()) {
            head += "Content-Type: " + answer.contentType + "\r\n";
        }
        const auto connection = m_connections.find(socket);
        const bool closeAfter = connection != m_connections.end() && connection->second.closeAfter;
        const QByteArray body = answer.cutAfter >= 0 ? answer.body.left(answer.cutAfter) : answer.body;
        if (answer.sendContentLength) {
            head += "Content-Length: " +
                    QByteArray::number(answer.announceWholeLength ? answer.body.size() : body.size()) +
                    "\r\n";
            if (closeAfter) {
                head += "Connection: close\r\n";
            }
        } else if (answer.endless) {
            head += "Connection: close\r\n";
        } else {
            head += "Connection: close\r\n";
        }
        for (const auto& [name, value] : answer.headers) {
            head += name + ": " + value + "\r\n";
        }
        head += "\r\n";
        write(socket, head);
        if (answer.headOnly) {
            return;
        }
        if (answer.endless) {
            writeEndlessly(QPointer<QTcpSocket>(socket),
                           answer.body.isEmpty() ? QByteArray(1, 'x') : answer.body);
            return;
        }
        if (answer.chunkSize > 0 && answer.chunkIntervalMs > 0) {
            writeChunk(QPointer<QTcpSocket>(socket), answer, 0);
        } else {
            socket->write(body);
            countSent(body.size());
            if (answer.cutAfter >= 0) {
                socket->disconnectFromHost();
                return;
            }
            finish(socket, answer);
        }
    }

    void write(QTcpSocket* socket, const QByteArray& bytes) {
        socket->write(bytes);
        std::lock_guard lock(m_shared->mutex);
        m_shared->bytesSent += bytes.size();
    }

    void countSent(qint64 bytes, bool body = true) {
        std::lock_guard lock(m_shared->mutex);
        if (body) {
            m_shared->bodyBytesSent += bytes;
        }
        m_shared->bytesSent += bytes;
    }

    // Keeps some megabytes queued on the connection, topped up as it drains, until the client
    // closes it.
    void writeEndlessly(QPointer<QTcpSocket> socket, const QByteArray& pattern, bool body = true) {
        QByteArray block = pattern;
        while (block.size() < 1024 * 1024) {
            block += pattern;
        }
        // Over TLS the bytes written move on at once to the encrypted buffer, which the plain
        // count leaves out: both count, or the queue grows as long as the client reads nothing.
        auto* secure = qobject_cast<QSslSocket*>(socket.data());
        auto topUp = [this, socket, secure, block, body] {
            const auto queued = [&] {
                return socket->bytesToWrite() + (secure ? secure->encryptedBytesToWrite() : 0);
            };
            while (socket && socket->state() == QAbstractSocket::ConnectedState &&
                   queued() < 8 * 1024 * 1024) {
                socket->write(block);
                countSent(block.size(), body);
            }
        };
        connect(socket, &QIODevice::bytesWritten, this, topUp);
        if (secure) {
            connect(secure, &QSslSocket::encryptedBytesWritten, this, topUp);
        }
        topUp();
    }

    void writeChunk(QPointer<QTcpSocket> socket, const ImageAnswer& answer, qsizetype offset) {
        if (!socket) {
            return;
        }
        const QByteArray chunk = answer.body.mid(offset, answer.chunkSize);
        socket->write(chunk);
        socket->flush();
        countSent(chunk.size());
        const qsizetype next = offset + answer.chunkSize;
        if (next >= answer.body.size()) {
            finish(socket, answer);
            return;
        }
        QTimer::singleShot(answer.chunkIntervalMs, this,
                           [this, socket, answer, next] { writeChunk(socket, answer, next); });
    }

    void finish(QTcpSocket* socket, const ImageAnswer& answer) {
        if (!answer.sendContentLength) {
            socket->disconnectFromHost();
            return;
        }
        const auto it = m_connections.find(socket);
        if (it == m_connections.end()) {
            return;
        }
        if (it->second.closeAfter) {
            socket->disconnectFromHost();
            return;
        }
        it->second.answering = false;
        const int answered = ++it->second.answered;
        int idleCloseMs = -1;
        {
            std::lock_guard lock(m_shared->mutex);
            idleCloseMs = m_shared->idleCloseMs;
        }
        if (idleCloseMs >= 0) {
            QTimer::singleShot(idleCloseMs, this, [this, socket = QPointer<QTcpSocket>(socket), answered] {
                const auto idle = socket ? m_connections.find(socket) : m_connections.end();
                if (idle != m_connections.end() && !idle->second.answering && idle->second.answered == answered) {
                    socket->disconnectFromHost();
                }
            });
        }
        if (answer.strayAfterMs >= 0) {
            QTimer::singleShot(answer.strayAfterMs, this,
                               [this, socket = QPointer<QTcpSocket>(socket), stray = answer.strayAnswer] {
                if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
                    // The client closed the connection first: nothing is left to answer on.
                    std::lock_guard lock(m_shared->mutex);
                    ++m_shared->straysDue;
                    return;
                }
                // Sent at once, not held back for the acknowledgement of the answer before it, and
                // in the kernel's hands before it is counted: counted before, a request sent once it
                // was due could be on its way before the stray, which then answers it rightly.
                socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                write(socket, stray);
                socket->flush();
                std::lock_guard lock(m_shared->mutex);
                ++m_shared->straysDue;
                ++m_shared->straysSent;
            });
        }
        if (it->second.buffer.contains("\r\n\r\n")) {
            read(socket);
        }
    }

    std::shared_ptr<Shared> m_shared;
    Scheme m_scheme;
    QHostAddress m_address;
    QTcpServer* m_server = nullptr;
    std::map<QTcpSocket*, Connection> m_connections;
    std::map<QByteArray, QList<QPointer<QTcpSocket>>> m_waiting;
};

// --- LoopbackImageServer ---------------------------------------------------------

LoopbackImageServer::LoopbackImageServer(Scheme scheme, const QHostAddress& address)
    : m_shared(std::make_shared<Shared>()), m_address(address), m_thread(std::make_unique<QThread>()) {
    m_scheme = scheme;
    m_thread->setObjectName(QStringLiteral("LoopbackImageServer"));
    m_thread->start();
    m_worker = new Worker(m_shared, scheme, address);
    m_worker->moveToThread(m_thread.get());
    QMetaObject::invokeMethod(
        m_worker, [this] { m_port = m_worker->start(); }, Qt::BlockingQueuedConnection);
}

LoopbackImageServer::~LoopbackImageServer() {
    QMetaObject::invokeMethod(
        m_worker,
        [this] {
            m_worker->stop();
            delete m_worker;
        },
        Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

quint16 LoopbackImageServer::port() const {
    return m_port;
}

std::unique_ptr<LoopbackImageServer> LoopbackImageServer::onHost(int n, Scheme scheme) {
    return std::make_unique<LoopbackImageServer>(scheme, QHostAddress(QStringLiteral("127.0.0.%1").arg(n)));
}

QUrl LoopbackImageServer::url(const QString& path) const {
    return url(path, m_address.toString());
}

QUrl LoopbackImageServer::url(const QString& path, const QString& hostName) const {
    const QString scheme = m_scheme == Scheme::Https ? QStringLiteral("https") : QStringLiteral("http");
    return QUrl(scheme + QStringLiteral("://") + hostName + QLatin1Char(':') + QString::number(m_port) +
                path);
}

void LoopbackImageServer::serve(const QByteArray& path, ImageAnswer answer) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->routes[path] = std::move(answer);
}

void LoopbackImageServer::serveAuthorized(const QByteArray& path, ImageAnswer answer) {
    serve(path + authorizedRoute, std::move(answer));
}

void LoopbackImageServer::setLatency(int ms) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->latencyMs = ms;
}

void LoopbackImageServer::hold(const QByteArray& path) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->holding[path] = true;
}

void LoopbackImageServer::release(const QByteArray& path) {
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->holding[path] = false;
    }
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, path] { worker->releaseHeld(path); });
}

int LoopbackImageServer::heldCount(const QByteArray& path) const {
    std::lock_guard lock(m_shared->mutex);
    const auto it = m_shared->held.find(path);
    return it == m_shared->held.end() ? 0 : it->second;
}

int LoopbackImageServer::requestCount(const QByteArray& path) const {
    std::lock_guard lock(m_shared->mutex);
    const auto it = m_shared->counts.find(path);
    return it == m_shared->counts.end() ? 0 : it->second;
}

int LoopbackImageServer::totalRequestCount() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->total;
}

QList<QPair<QByteArray, QByteArray>> LoopbackImageServer::lastRequestHeaders(const QByteArray& path) const {
    std::lock_guard lock(m_shared->mutex);
    const auto it = m_shared->lastHeaders.find(path);
    return it == m_shared->lastHeaders.end() ? QList<QPair<QByteArray, QByteArray>>() : it->second;
}

QByteArray LoopbackImageServer::lastRequestHeader(const QByteArray& path, const QByteArray& name) const {
    for (const auto& [key, value] : lastRequestHeaders(path)) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

QByteArray LoopbackImageServer::lastRequestMethod(const QByteArray& path) const {
    std::lock_guard lock(m_shared->mutex);
    const auto it = m_shared->lastMethods.find(path);
    return it == m_shared->lastMethods.end() ? QByteArray() : it->second;
}

int LoopbackImageServer::peakConnections() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->peakConnections;
}

int LoopbackImageServer::openConnections() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->openConnections;
}

qint64 LoopbackImageServer::bytesSent() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->bytesSent;
}

int LoopbackImageServer::acceptedConnections() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->acceptedConnections;
}

int LoopbackImageServer::straysSent() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->straysSent;
}

int LoopbackImageServer::straysDue() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->straysDue;
}

void LoopbackImageServer::setIgnoresConnectionClose(bool ignores) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->ignoresConnectionClose = ignores;
}

void LoopbackImageServer::setClosesIdleConnectionsAfter(int ms) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->idleCloseMs = ms;
}

void LoopbackImageServer::setClosesKeptConnectionsOnRequest(bool closes) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->closesKeptOnRequest = closes;
}

qint64 LoopbackImageServer::bodyBytesSent() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->bodyBytesSent;
}

QList<QSslCertificate> LoopbackImageServer::trustedCaCertificates() {
    return FakeHttpsServer::trustedCaCertificates();
}

namespace {
QByteArray encode(int width, int height, QColor colour, const char* format) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.write(image);
    return bytes;
}
} // namespace

QByteArray LoopbackImageServer::png(int width, int height, QColor colour) {
    return encode(width, height, colour, "png");
}

QByteArray LoopbackImageServer::jpeg(int width, int height, QColor colour) {
    return encode(width, height, colour, "jpeg");
}

} // namespace velmora::test
