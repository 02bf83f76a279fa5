#include "tests/support/FakeHttpsServer.h"

#include <QFile>
#include <QHostAddress>
#include <QLocale>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTimer>

#include <algorithm>

namespace velmora::test {

namespace {

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 402:
        return "Payment Required";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 409:
        return "Conflict";
    case 422:
        return "Unprocessable Entity";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

bool sendsNoBody(int status) {
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("FakeHttpsServer: cannot read %s", qPrintable(path));
    }
    return file.readAll();
}

} // namespace

// --- FakeRequest -------------------------------------------------------------

QString FakeRequest::decodedPath() const {
    return QUrl::fromPercentEncoding(path);
}

QUrlQuery FakeRequest::query() const {
    return QUrlQuery(QString::fromUtf8(rawQuery));
}

QString FakeRequest::queryValue(const QString& name) const {
    return query().queryItemValue(name, QUrl::FullyDecoded);
}

bool FakeRequest::hasQueryItem(const QString& name) const {
    return query().hasQueryItem(name);
}

bool FakeRequest::hasHeader(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

QByteArray FakeRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

// --- FakeResponse ------------------------------------------------------------

FakeResponse FakeResponse::json(QByteArray body, int status) {
    FakeResponse r;
    r.status = status;
    r.body = std::move(body);
    r.headers.emplaceBack("Content-Type", "application/json; charset=utf-8");
    return r;
}

FakeResponse FakeResponse::text(QByteArray body, int status) {
    FakeResponse r;
    r.status = status;
    r.body = std::move(body);
    r.headers.emplaceBack("Content-Type", "text/plain; charset=utf-8");
    return r;
}

FakeResponse FakeResponse::signInPage() {
    FakeResponse r;
    r.status = 200;
    r.body =
        "<!DOCTYPE html><html><head><title>Sign in</title></head><body><form>Sign in</form></body></html>";
    r.headers.emplaceBack("Content-Type", "text/html; charset=utf-8");
    return r;
}

FakeResponse FakeResponse::redirect(const QByteArray& location, int status) {
    return empty(status).withHeader("Location", location);
}

FakeResponse FakeResponse::empty(int status) {
    FakeResponse r;
    r.status = status;
    return r;
}

FakeResponse FakeResponse::garbage(QByteArray bytes) {
    FakeResponse r;
    r.malformed = true;
    r.body = std::move(bytes);
    return r;
}

FakeResponse FakeResponse::noAnswer() {
    FakeResponse r;
    r.hangUp = true;
    return r;
}

FakeResponse FakeResponse::withHeader(QByteArray name, QByteArray value) const {
    auto r = *this;
    r.headers.emplaceBack(std::move(name), std::move(value));
    return r;
}

FakeResponse FakeResponse::withDelay(int ms) const {
    auto r = *this;
    r.delayMs = ms;
    return r;
}

FakeResponse FakeResponse::withoutHangingUp() const {
    auto r = *this;
    r.keepOpen = true;
    return r;
}

FakeResponse FakeResponse::withStatus(int status) const {
    auto r = *this;
    r.status = status;
    return r;
}

// --- FakeHttpsServer ---------------------------------------------------------

// What is known about one open connection: bytes not yet parsed, and whether an
// answer is still owed (requests on one connection are answered in order).
struct FakeHttpsServer::Connection {
    QByteArray buffer;
    bool answering = false;
};

QString FakeHttpsServer::certificatesDirectory() {
    return QStringLiteral(VELMORA_TEST_CERTS_DIR);
}

QList<QSslCertificate> FakeHttpsServer::trustedCaCertificates() {
    return QSslCertificate::fromData(readFile(certificatesDirectory() + QStringLiteral("/test-ca.pem")),
                                     QSsl::Pem);
}

FakeHttpsServer::FakeHttpsServer(Certificate certificate, QObject* parent)
    : FakeHttpsServer(0, certificate, parent) {}

FakeHttpsServer::FakeHttpsServer(quint16 port, Certificate certificate, QObject* parent)
    : QObject(parent), m_server(new QSslServer(this)) {
    const QString base =
        certificatesDirectory() + (certificate == Certificate::Trusted ? QStringLiteral("/server")
                                                                       : QStringLiteral("/untrusted-server"));
    const auto chain = QSslCertificate::fromData(readFile(base + QStringLiteral(".pem")), QSsl::Pem);
    const QSslKey key(readFile(base + QStringLiteral(".key.pem")), QSsl::Rsa, QSsl::Pem);
    if (chain.isEmpty() || key.isNull()) {
        qFatal("FakeHttpsServer: the test certificate or its key cannot be read");
    }
    auto config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(chain.first());
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    m_server->setSslConfiguration(config);

    m_fallback = [](const FakeRequest&) { return FakeResponse::json("{}", 404); };

    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, &FakeHttpsServer::accept);
    connect(m_server, &QSslServer::errorOccurred, this,
            [this](QSslSocket*, QAbstractSocket::SocketError) { ++m_failedHandshakes; });
    connect(m_server, &QSslServer::handshakeInterruptedOnError, this,
            [this](QSslSocket*, const QSslError&) { ++m_failedHandshakes; });
    if (!m_server->listen(QHostAddress::LocalHost, port)) {
        qWarning("FakeHttpsServer: cannot listen: %s", qPrintable(m_server->errorString()));
    }
}

FakeHttpsServer::~FakeHttpsServer() {
    // The sockets are children of the server; forget them before they go.
    for (auto& [socket, connection] : m_connections) {
        socket->disconnect(this);
    }
    m_connections.clear();
}

bool FakeHttpsServer::isListening() const {
    return m_server->isListening();
}

quint16 FakeHttpsServer::port() const {
    return m_server->serverPort();
}

QString FakeHttpsServer::hostAndPort() const {
    return QStringLiteral("127.0.0.1:%1").arg(port());
}

QUrl FakeHttpsServer::url(const QString& pathAndQuery) const {
    return QUrl(QStringLiteral("https://") + hostAndPort() + pathAndQuery);
}

void FakeHttpsServer::on(const QByteArray& method, const QByteArray& path, Handler handler) {
    m_routes[{method.toUpper(), path}] = std::move(handler);
}

void FakeHttpsServer::on(const QByteArray& method, const QByteArray& path, FakeResponse response) {
    on(method, path, [response = std::move(response)](const FakeRequest&) { return response; });
}

void FakeHttpsServer::onAny(Handler fallback) {
    m_fallback = std::move(fallback);
}

void FakeHttpsServer::clearRoutes() {
    m_routes.clear();
}

FakeHttpsServer::Handler FakeHttpsServer::sequence(std::vector<FakeResponse> responses) {
    auto next = std::make_shared<std::size_t>(0);
    return [responses = std::move(responses), next](const FakeRequest&) {
        if (responses.empty()) {
            return FakeResponse::empty(500);
        }
        const auto index = std::min(*next, responses.size() - 1);
        ++*next;
        return responses[index];
    };
}

QDateTime FakeHttpsServer::now() const {
    return QDateTime::currentDateTimeUtc().addMSecs(m_clockOffsetMs);
}

void FakeHttpsServer::delayArrival(int ms, const QByteArray& method, const QString& pathSuffix) {
    m_arrivalDelayMs = ms;
    m_arrivalDelayMethod = method;
    m_arrivalDelaySuffix = pathSuffix;
}

void FakeHttpsServer::slowAnswers(int ms, const QByteArray& method, const QString& pathSuffix, int skip) {
    m_slowAnswers = ms > 0 ? RequestRule{ms, method, pathSuffix, skip} : RequestRule{};
}

void FakeHttpsServer::storeLate(int ms, const QByteArray& method, const QString& pathSuffix) {
    m_storeLate = ms > 0 ? RequestRule{ms, method, pathSuffix, 0} : RequestRule{};
}

void FakeHttpsServer::dropAnswerOnce(const QByteArray& method, const QString& pathSuffix) {
    m_dropAnswer = RequestRule{0, method, pathSuffix, 0};
}

void FakeHttpsServer::stop() {
    if (m_server->isListening()) {
        m_port = m_server->serverPort();
    }
    m_server->close();
    // Aborting a socket removes it from the map (its disconnected signal): a copy first.
    std::vector<QSslSocket*> sockets;
    for (const auto& entry : m_connections) {
        sockets.push_back(entry.first);
    }
    for (QSslSocket* socket : sockets) {
        socket->abort();
    }
    // Connections the server took in but had not handed over yet (their TLS handshake under way)
    // end too: left open, a request on one (a write on a connection opened ahead) waited for
    // an answer a stopped server never gives.
    for (QSslSocket* taken : m_server->findChildren<QSslSocket*>(QString(), Qt::FindDirectChildrenOnly)) {
        taken->abort();
    }
}

bool FakeHttpsServer::start() {
    if (m_server->isListening()) {
        return true;
    }
    return m_server->listen(QHostAddress::LocalHost, m_port);
}

void FakeHttpsServer::accept() {
    while (m_server->hasPendingConnections()) {
        auto* socket = qobject_cast<QSslSocket*>(m_server->nextPendingConnection());
        if (!socket) {
            continue;
        }
        m_connections[socket] = std::make_shared<Connection>();
        connect(socket, &QIODevice::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
            if (m_connections.erase(socket)) {
                ++m_closedConnections;
            }
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0) {
            readFrom(socket);
        }
    }
}

void FakeHttpsServer::readFrom(QSslSocket* socket) {
    const auto it = m_connections.find(socket);
    if (it == m_connections.end()) {
        return;
    }
    auto connection = it->second;
    connection->buffer += socket->readAll();
    if (connection->answering) {
        return;
    }
    const auto headEnd = connection->buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        return;
    }
    const QByteArray head = connection->buffer.left(headEnd);
    const auto lines = head.split('\n');
    const auto requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3) {
        write(socket, FakeResponse::garbage("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"));
        return;
    }
    FakeRequest request;
    request.method = requestLine.at(0);
    const QByteArray target = requestLine.at(1);
    const auto questionMark = target.indexOf('?');
    request.path = questionMark < 0 ? target : target.left(questionMark);
    request.hasQuery = questionMark >= 0;
    request.rawQuery = questionMark < 0 ? QByteArray() : target.mid(questionMark + 1);
    qsizetype contentLength = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const auto colon = line.indexOf(':');
        if (colon <= 0) {
            continue;
        }
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        request.headers.emplaceBack(name, value);
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            contentLength = value.toLongLong();
        }
    }
    const qsizetype total = headEnd + 4 + contentLength;
    if (connection->buffer.size() < total) {
        return; // the body is still on its way
    }
    request.body = connection->buffer.mid(headEnd + 4, contentLength);
    request.peerPort = socket->peerPort();
    connection->buffer.remove(0, total);
    connection->answering = true;
    if (m_storeLate.applies(request)) {
        QPointer<QSslSocket> guarded(socket);
        QTimer::singleShot(m_storeLate.ms, this, [this, guarded, request] {
            m_requests.append(request);
            FakeResponse response = respond(request);
            if (guarded && m_connections.count(guarded.data())) {
                write(guarded.data(), response);
            }
        });
        return;
    }
    if (m_arrivalDelayMs > 0 && request.matches(m_arrivalDelayMethod, m_arrivalDelaySuffix)) {
        QPointer<QSslSocket> guarded(socket);
        QTimer::singleShot(m_arrivalDelayMs, this, [this, guarded, request] {
            if (guarded && m_connections.count(guarded.data())) {
                m_requests.append(request);
                m_peakInFlight = std::max(m_peakInFlight, ++m_inFlight);
                answer(guarded.data(), request);
            }
        });
        return;
    }
    m_requests.append(request);
    m_peakInFlight = std::max(m_peakInFlight, ++m_inFlight);
    answer(socket, request);
}

FakeResponse FakeHttpsServer::respond(const FakeRequest& request) {
    auto route = m_routes.find({request.method.toUpper(), request.path});
    if (route == m_routes.end()) {
        route = m_routes.find({QByteArray("*"), request.path});
    }
    return route != m_routes.end() ? route->second(request) : m_fallback(request);
}

void FakeHttpsServer::holdAnswers(const QString& pathSuffix) {
    m_holdSuffix = pathSuffix;
}

void FakeHttpsServer::releaseHeldAnswers(int count) {
    for (; count > 0 && !m_held.empty(); --count) {
        auto send = std::move(m_held.front());
        m_held.pop_front();
        send();
    }
}

void FakeHttpsServer::stopHolding() {
    m_holdSuffix.reset();
    releaseHeldAnswers();
}

qint64 FakeHttpsServer::listClock() const {
    return m_listClockStart.msecsTo(QDateTime::currentDateTimeUtc()) + m_listTimePassed;
}

void FakeHttpsServer::replaceAnswerOnce(FakeResponse response, const QByteArray& method,
                                        const QString& pathSuffix) {
    m_replaceAnswer = RequestRule{0, method, pathSuffix, 0};
    m_replacement = std::move(response);
}

void FakeHttpsServer::answer(QSslSocket* socket, const FakeRequest& request) {
    FakeResponse response = respond(request);
    if (m_replaceAnswer.applies(request)) {
        m_replaceAnswer = RequestRule{};
        response = m_replacement;
    }
    if (m_dropAnswer.applies(request)) {
        m_dropAnswer = RequestRule{};
        response = FakeResponse::noAnswer();
    } else if (m_slowAnswers.applies(request)) {
        if (m_slowAnswers.skip > 0) {
            --m_slowAnswers.skip;
        } else {
            response = response.withDelay(m_slowAnswers.ms);
        }
    }
    if (m_holdSuffix && request.decodedPath().endsWith(*m_holdSuffix)) {
        QPointer<QSslSocket> guarded(socket);
        m_held.push_back([this, guarded, response] {
            --m_inFlight;
            if (guarded && m_connections.count(guarded.data())) {
                write(guarded.data(), response);
            }
        });
        return;
    }
    if (response.delayMs <= 0) {
        --m_inFlight;
        write(socket, response);
        return;
    }
    QPointer<QSslSocket> guarded(socket);
    QTimer::singleShot(response.delayMs, this, [this, guarded, response] {
        --m_inFlight;
        if (guarded && m_connections.count(guarded.data())) {
            write(guarded.data(), response);
        }
    });
}

void FakeHttpsServer::write(QSslSocket* socket, const FakeResponse& response) {
    if (response.hangUp) {
        socket->disconnectFromHost();
        return;
    }
    if (response.malformed) {
        socket->write(response.body);
        if (!response.keepOpen) {
            socket->disconnectFromHost();
        }
        return;
    }
    QByteArray out =
        "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    bool hasLength = false;
    bool hasDate = false;
    for (const auto& [name, value] : response.headers) {
        out += name + ": " + value + "\r\n";
        hasLength = hasLength || name.compare("Content-Length", Qt::CaseInsensitive) == 0;
        hasDate = hasDate || name.compare("Date", Qt::CaseInsensitive) == 0;
    }
    if (!hasDate) {
        // As every HTTP server does: the moment of the answer, to the second, in English.
        QDateTime dated = now();
        if (m_secondClockMs && (m_datesSent++ % 2) == 1) {
            dated = QDateTime::currentDateTimeUtc().addMSecs(*m_secondClockMs);
        }
        if (m_cachedAge) {
            dated = dated.addSecs(-*m_cachedAge);
            out += "Age: " + QByteArray::number(*m_cachedAge) + "\r\n";
        }
        out += "Date: " +
               QLocale::c().toString(dated.toUTC(), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss")).toLatin1() +
               " GMT\r\n";
    }
    if (!hasLength && !sendsNoBody(response.status)) {
        out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    }
    out += "\r\n";
    if (!sendsNoBody(response.status)) {
        out += response.body;
    }
    socket->write(out);

    const auto it = m_connections.find(socket);
    if (it == m_connections.end()) {
        return;
    }
    it->second->answering = false;
    // A request that arrived while this one was being answered is next.
    if (!it->second->buffer.isEmpty()) {
        QPointer<QSslSocket> guarded(socket);
        QMetaObject::invokeMethod(
            this,
            [this, guarded] {
                if (guarded) {
                    readFrom(guarded.data());
                }
            },
            Qt::QueuedConnection);
    }
}

} // namespace velmora::test
