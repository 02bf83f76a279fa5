#pragma once

#include <QByteArray>
#include <QColor>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <memory>

namespace velmora::test {

// What the loopback image server answers for one path.
struct ImageAnswer {
    int status = 200;
    QByteArray contentType = "image/png"; // no Content-Type header when empty
    QByteArray body;
    // Without Content-Length the body ends when the server closes the connection.
    bool sendContentLength = true;
    int latencyMs = 0; // wait this long before the status line (besides the server's latency)
    int chunkSize = 0; // with chunkIntervalMs: send the body in pieces of this many bytes
    int chunkIntervalMs = 0;
    QList<QPair<QByteArray, QByteArray>> headers; // further headers, added as given
    // Never answered: the request is read and the connection stays open and silent.
    bool silent = false;
    // The head only: the body it announces never comes, and the connection stays open.
    bool headOnly = false;
    // The body, over and over, as fast as the connection takes it, and never an end (no length).
    bool endless = false;
    // The head never ends: after the status line one header line that never ends, or (with
    // `endlessHeadLines`) header lines that never stop coming, as fast as the connection takes them.
    bool endlessHead = false;
    bool endlessHeadLines = false;
    // With `endlessHead`: short header lines that never stop coming, one every this many ms, so
    // the head never stalls and grows slowly; 0: as fast as the connection takes them.
    int headTrickleMs = 0;
    // With `endlessHead`: the head a byte at a time from its first, one every this many ms, in a
    // status line that never ends; 0: not so.
    int headByteMs = 0;
    // An interim answer (1xx, with a Link header as 103 Early Hints sends) before the answer; 0: none.
    int interimStatus = 0;
    // Only this many bytes of the body are sent (from 0 on), then the connection is closed; with
    // `announceWholeLength` the Content-Length still says the whole body. -1: the whole body.
    qsizetype cutAfter = -1;
    bool announceWholeLength = false;
    // A second whole answer (head and body, sent as given) that follows this one on its connection
    // `strayAfterMs` later, for no request: a server, or a box in front of it, that answers twice.
    // -1: none.
    int strayAfterMs = -1;
    QByteArray strayAnswer;

    static ImageAnswer image(QByteArray body, QByteArray contentType = "image/png");
    static ImageAnswer failure(int status, QByteArray body = {});
    // A redirect to `location` (absolute or relative, sent as given).
    static ImageAnswer redirect(QByteArray location, int status = 302);
    static ImageAnswer neverAnswered();
    // `body` gzip'd and sent with "Content-Encoding: gzip"; with `breakAt` below 1, the stream's
    // bytes from that fraction on are replaced by bytes no inflater takes.
    static ImageAnswer gzipped(const QByteArray& body, double breakAt = 1.0,
                               QByteArray contentType = "image/jpeg");
    ImageAnswer withoutContentLength() const;
    ImageAnswer trickled(int chunkSize, int intervalMs) const;
    ImageAnswer withLatency(int ms) const;
    ImageAnswer withHeader(QByteArray name, QByteArray value) const;
    ImageAnswer withContentType(QByteArray type) const;
    ImageAnswer headOnlyAnswer() const;
    ImageAnswer endlessBody() const;
    // See `endlessHead`.
    static ImageAnswer endlessHeader(bool manyLines = false);
    // See `headTrickleMs`.
    static ImageAnswer trickledEndlessHeader(int intervalMs);
    // See `headByteMs`.
    static ImageAnswer headByteByByte(int intervalMs);
    ImageAnswer afterInterimAnswer(int status = 103) const;
    // The first `fraction` of the body, then a clean close; announced as such, or (with
    // `announceWhole`) as the whole body.
    ImageAnswer cutShort(double fraction, bool announceWhole = false) const;
    // See `strayAnswer`.
    ImageAnswer followedBy(QByteArray wholeAnswer, int afterMs) const;
};

// An HTTP or HTTPS image server on a loopback address (127.0.0.1 unless told another of
// 127.0.0.0/8, which gives tests as many hosts as they like) that runs on a thread of its own, so
// that tests and benchmarks may block their own thread (or spin its loop) while it
// answers. Paths are served from a table; an unknown path gets 404. It counts requests
// per path, can add latency to every answer and can hold the answers of a path back
// until they are released. All members may be called from any thread.
//
// The HTTPS server presents the test certificate of tests/support/certs; clients trust
// it through `trustedCaCertificates()`, never by ignoring TLS errors.
class LoopbackImageServer {
public:
    enum class Scheme { Http, Https };

    explicit LoopbackImageServer(Scheme scheme = Scheme::Http,
                                 const QHostAddress& address = QHostAddress(QHostAddress::LocalHost));
    // The server on 127.0.0.<n> (n from 1 to 254).
    static std::unique_ptr<LoopbackImageServer> onHost(int n, Scheme scheme = Scheme::Http);
    ~LoopbackImageServer();
    LoopbackImageServer(const LoopbackImageServer&) = delete;
    LoopbackImageServer& operator=(const LoopbackImageServer&) = delete;

    quint16 port() const;
    QHostAddress address() const { return m_address; }
    // "<scheme>://<address>:<port>" followed by `path` (which starts with "/").
    QUrl url(const QString& path) const;
    // The same with another host name for the address (one that resolves to it, "localhost").
    QUrl url(const QString& path, const QString& hostName) const;

    void serve(const QByteArray& path, ImageAnswer answer);
    // The answer of `path` to a request that carries an Authorization header (any), in place of
    // the one `serve` gave.
    void serveAuthorized(const QByteArray& path, ImageAnswer answer);
    // Added before every answer's own latency.
    void setLatency(int ms);

    // Requests of `path` that arrive from now on are not answered until `release`.
    void hold(const QByteArray& path);
    // Answers the held requests of `path` and stops holding it.
    void release(const QByteArray& path);
    // Requests of `path` waiting for `release`.
    int heldCount(const QByteArray& path) const;

    int requestCount(const QByteArray& path) const;
    int totalRequestCount() const;
    // The headers of the last request of `path` (names as sent); empty when none came.
    QList<QPair<QByteArray, QByteArray>> lastRequestHeaders(const QByteArray& path) const;
    QByteArray lastRequestHeader(const QByteArray& path, const QByteArray& name) const;
    QByteArray lastRequestMethod(const QByteArray& path) const;
    // The most connections that were open at the same time.
    int peakConnections() const;
    // The connections open now.
    int openConnections() const;
    // Body bytes written to connections so far.
    qint64 bodyBytesSent() const;
    // Every byte written to connections so far, heads included.
    qint64 bytesSent() const;
    // Connections accepted so far.
    int acceptedConnections() const;
    // Stray answers (see ImageAnswer::strayAnswer) written to their connections so far.
    int straysSent() const;
    // Stray answers whose time came: written (in the kernel's hands), or not when the client had
    // closed the connection before.
    int straysDue() const;
    // A server that keeps every connection open after its answer, even one whose request asked
    // for it to close, and never says it closes: only the client can end it.
    void setIgnoresConnectionClose(bool ignores);
    // A server that closes a connection silently (its answers never said so) once it was idle
    // `ms` after an answer; -1: never.
    void setClosesIdleConnectionsAfter(int ms);
    // A server that closes a connection it answered on before as soon as the next request
    // arrives on it, unanswered (counted as arrived): its idle close crossed the request.
    void setClosesKeptConnectionsOnRequest(bool closes);

    static QList<QSslCertificate> trustedCaCertificates();

    // A PNG of the given size filled with one colour, made here so tests need no files.
    static QByteArray png(int width, int height, QColor colour = Qt::red);
    // A baseline JPEG of the given size.
    static QByteArray jpeg(int width, int height, QColor colour = Qt::blue);

private:
    class Worker;
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    Scheme m_scheme = Scheme::Http;
    QHostAddress m_address;
    quint16 m_port = 0;
    std::unique_ptr<class QThread> m_thread;
    Worker* m_worker = nullptr;
};

} // namespace velmora::test
