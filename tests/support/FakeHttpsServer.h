#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSslCertificate>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QSslServer;
class QSslSocket;

namespace velmora::test {

// One request as the fake server received it.
struct FakeRequest {
    QByteArray method;     // "GET", "POST", ...
    QByteArray path;       // as sent, still percent-encoded, without the query: "/rest/api/3/issue/A%2FB"
    QByteArray rawQuery;   // as sent, without the "?": "jql=a%20b&maxResults=50"; empty when there was none
    bool hasQuery = false; // a "?" was sent, even with nothing after it
    QList<QPair<QByteArray, QByteArray>> headers; // in the order sent, names as sent
    QByteArray body;
    // The client's end of the connection: requests from one app on one kept-alive
    // connection share it, two apps (or two connections) never do.
    quint16 peerPort = 0;

    QString decodedPath() const;
    QUrlQuery query() const;
    // The fully decoded value of the first query item with that name; empty when absent.
    QString queryValue(const QString& name) const;
    bool hasQueryItem(const QString& name) const;
    // Header look-up ignores the case of the name, as HTTP does.
    bool hasHeader(const QByteArray& name) const;
    QByteArray header(const QByteArray& name) const;
    // The method (any when empty) and the end of the decoded path, e.g. ("GET", "/users/me").
    bool matches(const QByteArray& method, const QString& pathSuffix) const {
        return (method.isEmpty() || this->method == method) && decodedPath().endsWith(pathSuffix);
    }
};

// What the fake server answers. Build one with the factories and adjust it with the
// `with...` helpers, which return a changed copy:
//   FakeResponse::json(R"({"errors":[]})", 429).withHeader("Retry-After", "30").withDelay(200)
struct FakeResponse {
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    int delayMs = 0;        // wait this long before answering (the connection stays open)
    bool malformed = false; // write `body` verbatim, no status line or headers, then hang up
    bool keepOpen = false;  // with `malformed`: stay connected after the bytes, saying nothing more
    bool hangUp = false;    // close the connection without any answer

    static FakeResponse json(QByteArray body, int status = 200);
    static FakeResponse text(QByteArray body, int status = 200);
    static FakeResponse empty(int status = 204);
    static FakeResponse garbage(QByteArray bytes = "this is not HTTP\r\n\r\n");
    static FakeResponse noAnswer();
    // A sign-in page with status 200, as an authenticating proxy answers in a tracker's
    // stead.
    static FakeResponse signInPage();
    // A redirect (302 unless told) to `location`.
    static FakeResponse redirect(const QByteArray& location, int status = 302);

    FakeResponse withHeader(QByteArray name, QByteArray value) const;
    FakeResponse withDelay(int ms) const;
    FakeResponse withStatus(int status) const;
    FakeResponse withoutHangingUp() const;
};

// An HTTPS server on 127.0.0.1 for tests of everything that talks to a tracker or to
// the maker's server. It speaks enough HTTP/1.1 for QNetworkAccessManager (keep-alive,
// Content-Length bodies) and answers from scripted routes. It lives on the thread that
// made it and serves through that thread's event loop, so a test must spin the loop
// while it waits (test::waitUntil does).
//
// Its certificate is signed by a test certificate authority that nobody trusts by
// default: a test trusts it by adding `trustedCaCertificates()` to the session
// configuration's extra CA certificates, never by ignoring TLS errors. The
// `Untrusted` server presents a certificate of another authority, for tests that
// show TLS is really verified.
//
// Example (clients made by APIRequest's factories trust the test authority once it is
// added process-wide, and reach the server through the host overrides):
//   test::FakeHttpsServer server;
//   SessionConfiguration::setProcessExtraCaCertificates(test::FakeHttpsServer::trustedCaCertificates());
//   qputenv("VELMORA_JIRA_API_HOST", server.hostAndPort().toUtf8()); // also _ASANA_API_HOST,
//   VELMORA_SERVER_URL server.on("GET", "/ex/jira/cloud-1/rest/api/3/myself",
//   test::FakeResponse::json(R"({"accountId":"a1"})")); server.on("POST", "/oauth/app/jira/refresh",
//   [&](const test::FakeRequest& r) {
//       return r.body.contains("old") ? test::FakeResponse::json(R"({"token":"t2"})")
//                                     : test::FakeResponse::empty(401);
//   });
//   ... run the operation (YouTrack: APIRequest::youTrack(token, server.hostAndPort())), then:
//   ASSERT_TRUE(test::waitUntil([&] { return done; }));
//   EXPECT_EQ(server.requests().at(0).header("Authorization"), "Bearer t1");
//
// Routes match the method (or "*" for any) and the path exactly as sent (still
// percent-encoded, without the query). A later route for the same method and path
// replaces the earlier one. A request that matches no route goes to the fallback
// handler (`onAny`), which by default answers 404 with an empty JSON object. Handlers
// may keep state (counters, stored records) to play a whole tracker.
class FakeHttpsServer : public QObject {
    Q_OBJECT
public:
    enum class Certificate { Trusted, Untrusted };
    using Handler = std::function<FakeResponse(const FakeRequest&)>;

    // Starts listening at once on 127.0.0.1 with a port of the system's choosing.
    explicit FakeHttpsServer(Certificate certificate = Certificate::Trusted, QObject* parent = nullptr);
    // The same on a port of the caller's (0: the system's choice); isListening() says
    // whether the port could be had.
    FakeHttpsServer(quint16 port, Certificate certificate, QObject* parent = nullptr);
    ~FakeHttpsServer() override;

    bool isListening() const;
    quint16 port() const;
    // A stopped server: the open connections are dropped and new ones refused, so a
    // client sees the server gone. start() listens on the same port again.
    void stop();
    bool start();
    // "127.0.0.1:<port>": what the host overrides (VELMORA_JIRA_API_HOST, ...) and
    // base URLs without scheme expect.
    QString hostAndPort() const;
    // "https://127.0.0.1:<port>" followed by `pathAndQuery` (which starts with "/").
    QUrl url(const QString& pathAndQuery = QString()) const;

    void on(const QByteArray& method, const QByteArray& path, Handler handler);
    void on(const QByteArray& method, const QByteArray& path, FakeResponse response);
    void onAny(Handler fallback);
    void clearRoutes();

    // What the routes (or the fallback) answer to `request`, without recording it; a
    // server in front of several fakes hands requests on this way.
    FakeResponse respond(const FakeRequest& request);

    // Answers the given responses one after the other, then repeats the last one.
    static Handler sequence(std::vector<FakeResponse> responses);

    // Every request received so far, in order of arrival (recorded before any delay).
    QList<FakeRequest> requests() const { return m_requests; }
    int requestCount() const { return static_cast<int>(m_requests.size()); }
    // Requests received whose decoded path ends with `pathSuffix` (any method when empty).
    QList<FakeRequest> requestsTo(const QString& pathSuffix, const QByteArray& method = {}) const {
        QList<FakeRequest> found;
        for (const FakeRequest& request : m_requests) {
            if (request.matches(method, pathSuffix)) {
                found << request;
            }
        }
        return found;
    }
    FakeRequest lastRequest() const { return m_requests.isEmpty() ? FakeRequest() : m_requests.last(); }
    void clearRequests() { m_requests.clear(); }
    // Requests received and not yet answered (a delayed answer counts until it is
    // written), and the most there were at once since the last reset.
    int inFlight() const { return m_inFlight; }
    int peakInFlight() const { return m_peakInFlight; }
    void resetPeakInFlight() { m_peakInFlight = m_inFlight; }
    // Holds back, from now on, the answers to requests whose decoded path ends with
    // `pathSuffix` (every request when empty): they stay in flight until released, so
    // a test decides when answers go out instead of timing them.
    void holdAnswers(const QString& pathSuffix = QString());
    int heldAnswers() const { return static_cast<int>(m_held.size()); }
    // Sends up to `count` held answers, oldest first; later answers are still held.
    void releaseHeldAnswers(int count = std::numeric_limits<int>::max());
    // Sends every held answer and holds nothing more.
    void stopHolding();
    // The server's clock runs this far ahead of this machine's (negative: behind), in
    // ms: every answer's "Date" header (sent unless the answer has its own) is read off
    // it, and the fake trackers stamp what they make with now().
    void setClockOffset(qint64 ms) { m_clockOffsetMs = ms; }
    qint64 clockOffset() const { return m_clockOffsetMs; }
    QDateTime now() const;
    // A second machine behind the same name whose clock runs `ms` ahead of this
    // machine's: answers alternate between the two clocks' dates (none: one machine).
    void setSecondClock(std::optional<qint64> ms) { m_secondClockMs = ms; }
    // Every answer comes as a cache in front of the tracker serves it: "Age: `seconds`"
    // and the date it was stored, that long ago (none: fresh from the tracker, no Age).
    void setCachedDates(std::optional<int> seconds) { m_cachedAge = seconds; }
    // What the fake trackers make is stamped this far (ms) from the clock the "Date"
    // headers tell: a database on a machine of its own.
    void setStampOffset(qint64 ms) { m_stampOffsetMs = ms; }
    // The moment a fake tracker stamps what it makes now.
    QDateTime stampNow() const { return now().addMSecs(m_stampOffsetMs); }
    // Requests of `method` whose decoded path ends with `pathSuffix` reach the routes (and
    // the state of a fake tracker) `ms` after they arrived: a slow way to the tracker.
    // They are recorded in requests() only then. 0 stops it.
    void delayArrival(int ms, const QByteArray& method, const QString& pathSuffix);
    // Requests of `method` whose decoded path ends with `pathSuffix` are answered `ms`
    // after the routes took them (at once): a slow read. The first `skip` such requests
    // from now on are answered as usual. 0 ms stops it.
    void slowAnswers(int ms, const QByteArray& method, const QString& pathSuffix, int skip = 0);
    // Such requests reach the routes (a fake tracker stores what they make) `ms` after
    // they arrived, even when the client gave up on them meanwhile, and are answered then
    // if it is still there: a tracker that stores a booking after the app's time-out.
    // 0 stops it.
    void storeLate(int ms, const QByteArray& method, const QString& pathSuffix);
    // The next such request reaches the routes at once, and its connection is then
    // dropped without an answer: the answer lost on its way back.
    void dropAnswerOnce(const QByteArray& method, const QString& pathSuffix);
    // The next such request reaches the routes (a fake tracker stores what it makes),
    // and `response` goes back in place of their answer: a 504 of a gateway after the
    // tracker took the booking, say.
    void replaceAnswerOnce(FakeResponse response, const QByteArray& method, const QString& pathSuffix);

    // Lists that lag their writes: what a fake tracker makes from now on is listed only
    // `ms` later on the list clock (0: at once). The list clock runs with real time, and
    // passListTime() moves it on, so a test lets a lag pass without waiting for it.
    void setListLag(qint64 ms) { m_listLagMs = ms; }
    void passListTime(qint64 ms) { m_listTimePassed += ms; }
    // The moment on the list clock from which what is made now is listed, and whether
    // what is listed from `listedFrom` is listed now.
    qint64 listedFromNow() const { return listClock() + m_listLagMs; }
    bool isListed(qint64 listedFrom) const { return listedFrom <= listClock(); }

    // Connections closed so far (by either side), and TLS handshakes that failed.
    int closedConnections() const { return m_closedConnections; }
    int failedHandshakes() const { return m_failedHandshakes; }

    // The certificate authority that signs the `Trusted` server's certificate.
    static QList<QSslCertificate> trustedCaCertificates();
    // The folder that holds the test certificates (PEM files).
    static QString certificatesDirectory();

private:
    struct Connection;
    qint64 listClock() const;
    void accept();
    void readFrom(QSslSocket* socket);
    void answer(QSslSocket* socket, const FakeRequest& request);
    void write(QSslSocket* socket, const FakeResponse& response);

    QSslServer* m_server = nullptr;
    quint16 m_port = 0;
    std::map<std::pair<QByteArray, QByteArray>, Handler> m_routes;
    Handler m_fallback;
    QList<FakeRequest> m_requests;
    std::map<QSslSocket*, std::shared_ptr<Connection>> m_connections;
    int m_inFlight = 0;
    int m_peakInFlight = 0;
    std::optional<QString> m_holdSuffix;
    std::deque<std::function<void()>> m_held;
    int m_closedConnections = 0;
    int m_failedHandshakes = 0;
    qint64 m_clockOffsetMs = 0;
    std::optional<qint64> m_secondClockMs;
    std::optional<int> m_cachedAge;
    qint64 m_stampOffsetMs = 0;
    int m_datesSent = 0;
    int m_arrivalDelayMs = 0;
    QByteArray m_arrivalDelayMethod;
    QString m_arrivalDelaySuffix;
    // The switches above that take requests of one method and path end.
    struct RequestRule {
        int ms = 0;
        QByteArray method;
        QString suffix;
        int skip = 0;
        bool applies(const FakeRequest& request) const {
            return !suffix.isEmpty() && request.matches(method, suffix);
        }
    };
    RequestRule m_slowAnswers;
    RequestRule m_storeLate;
    RequestRule m_dropAnswer;
    RequestRule m_replaceAnswer;
    FakeResponse m_replacement;
    qint64 m_listLagMs = 0;
    qint64 m_listTimePassed = 0;
    QDateTime m_listClockStart = QDateTime::currentDateTimeUtc();
};

} // namespace velmora::test
