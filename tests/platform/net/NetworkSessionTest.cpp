#include "platform/net/NetworkSession.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeHttpsServer.h"
#include "tests/support/LoopbackImageServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

using namespace velmora;
using namespace std::chrono_literals;

namespace {

using Outcome = Result<HttpResponse, TransportError>;

SessionConfiguration trusting() {
    auto config = SessionConfiguration::standard();
    config.extraCaCertificates = test::FakeHttpsServer::trustedCaCertificates();
    return config;
}

// Sends and waits for the outcome.
std::optional<Outcome> run(const std::shared_ptr<NetworkSession>& session, HttpRequest request,
                           int waitMs = 10000) {
    std::optional<Outcome> outcome;
    auto running = session->send(std::move(request)).subscribe([&](Outcome r) { outcome = std::move(r); });
    test::waitUntil([&] { return outcome.has_value(); }, waitMs);
    return outcome;
}

HttpRequest get(const QUrl& url) {
    HttpRequest request;
    request.url = url;
    return request;
}

// A thread with an event loop, stopped however the test ends: a QThread destroyed while
// it runs ends the whole test program, so a failed ASSERT that returns early must not
// leave it running. What it sent is cancelled on it first, while the mailbox that
// keeps its outcome's sink is still there.
class WorkerThread {
public:
    WorkerThread() {
        m_context.moveToThread(&m_thread);
        m_thread.start();
    }
    ~WorkerThread() {
        QMetaObject::invokeMethod(
            &m_context, [this] { sent.cancel(); }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Runs `work` on the thread, without waiting for it.
    void post(std::function<void()> work) { QMetaObject::invokeMethod(&m_context, std::move(work)); }

    Cancellable sent;

private:
    QThread m_thread;
    QObject m_context;
};

// Holds the main thread's requests until released, or until the test ends however it
// ends: a hold left behind would keep every later test's requests waiting.
struct MainThreadHold {
    MainThreadHold() { NetworkSession::holdMainThreadRequests(); }
    ~MainThreadHold() { NetworkSession::releaseMainThreadRequests(); }
    MainThreadHold(const MainThreadHold&) = delete;
    MainThreadHold& operator=(const MainThreadHold&) = delete;
};

using Scheme = test::LoopbackImageServer::Scheme;
using test::ImageAnswer;

HttpRequest booking(const QUrl& url) {
    HttpRequest request;
    request.url = url;
    request.method = "POST";
    request.body = QByteArray(R"({"timeSpentSeconds":3600})");
    request.setHeader("Content-Type", "application/json");
    return request;
}

struct EndlessHead {
    Scheme scheme;
    bool manyLines;
};

std::string nameOf(const testing::TestParamInfo<EndlessHead>& info) {
    return std::string(info.param.scheme == Scheme::Https ? "Https" : "Http") +
           (info.param.manyLines ? "EndlessLines" : "OneEndlessLine");
}

class AHeadThatNeverEnds : public testing::TestWithParam<EndlessHead> {};

} // namespace

TEST(NetworkSession, SendsHeadersAndBodyAndHandsBackAnyStatus) {
    test::FakeHttpsServer server;
    server.on("POST", "/things", test::FakeResponse::json(R"({"ok":true})", 201).withHeader("X-Thing", "1"));
    server.on("GET", "/missing", test::FakeResponse::json(R"({"error":"gone"})", 404));
    auto config = trusting();
    config.headers.emplace_back("Authorization", "Bearer session");
    auto session = NetworkSession::create(config);

    HttpRequest post = get(server.url("/things?a=1"));
    post.method = "POST";
    post.body = QByteArray(R"({"name":"x"})");
    post.setHeader("Content-Type", "application/json");
    auto outcome = run(session, post);
    ASSERT_TRUE(outcome.has_value());
    ASSERT_TRUE(outcome->ok()) << qPrintable(outcome->error().description());
    EXPECT_EQ(outcome->value().statusCode, 201);
    EXPECT_EQ(outcome->value().body, R"({"ok":true})");
    EXPECT_EQ(outcome->value().header("x-thing"), QByteArray("1"));

    const auto seen = server.lastRequest();
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.rawQuery, "a=1");
    EXPECT_EQ(seen.body, R"({"name":"x"})");
    EXPECT_EQ(seen.header("Authorization"), "Bearer session");
    EXPECT_EQ(seen.header("Content-Type"), "application/json");

    // An error status is an answer like any other; a bodiless GET carries no Content-Type.
    outcome = run(session, get(server.url("/missing")));
    ASSERT_TRUE(outcome.has_value() && outcome->ok());
    EXPECT_EQ(outcome->value().statusCode, 404);
    EXPECT_EQ(outcome->value().body, R"({"error":"gone"})");
    EXPECT_FALSE(server.lastRequest().hasHeader("Content-Type"));
    EXPECT_FALSE(server.lastRequest().hasHeader("Accept"));
}

TEST(NetworkSession, RequestHeadersWinOverSessionHeaders) {
    test::FakeHttpsServer server;
    server.on("GET", "/", test::FakeResponse::empty(204));
    auto config = trusting();
    config.headers.emplace_back("X-Client", "session");
    auto session = NetworkSession::create(config);
    auto request = get(server.url("/"));
    request.setHeader("X-Client", "request");
    auto outcome = run(session, request);
    ASSERT_TRUE(outcome.has_value() && outcome->ok());
    EXPECT_EQ(outcome->value().statusCode, 204);
    EXPECT_EQ(server.lastRequest().header("X-Client"), "request");
}

TEST(NetworkSession, VerifiesTheServerCertificate) {
    // A server whose authority nobody trusts is refused, even by a session that
    // trusts the test authority.
    test::FakeHttpsServer untrusted(test::FakeHttpsServer::Certificate::Untrusted);
    untrusted.onAny([](const test::FakeRequest&) { return test::FakeResponse::empty(200); });
    auto outcome = run(NetworkSession::create(trusting()), get(untrusted.url("/")));
    ASSERT_TRUE(outcome.has_value());
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().kind, TransportError::Kind::TlsFailure);
    EXPECT_EQ(untrusted.requestCount(), 0);

    // The trusted server itself is refused by a session without the test authority.
    test::FakeHttpsServer server;
    server.onAny([](const test::FakeRequest&) { return test::FakeResponse::empty(200); });
    auto config = trusting();
    config.extraCaCertificates.clear();
    outcome = run(NetworkSession::create(config), get(server.url("/")));
    ASSERT_TRUE(outcome.has_value());
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().kind, TransportError::Kind::TlsFailure);
    EXPECT_EQ(server.requestCount(), 0);
}

TEST(NetworkSession, ProcessWideAuthoritiesReachNewSessions) {
    test::FakeHttpsServer server;
    server.onAny([](const test::FakeRequest&) { return test::FakeResponse::empty(200); });
    SessionConfiguration::setProcessExtraCaCertificates(test::FakeHttpsServer::trustedCaCertificates());
    auto outcome = run(NetworkSession::create(), get(server.url("/")));
    SessionConfiguration::setProcessExtraCaCertificates({});
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->ok());
    EXPECT_TRUE(SessionConfiguration::standard().extraCaCertificates.isEmpty());
}

TEST(NetworkSession, AnAuthorityFileIsTrustedOnlyWhenTheEnvironmentNamesIt) {
    test::FakeHttpsServer server;
    server.onAny([](const test::FakeRequest&) { return test::FakeResponse::empty(200); });
    ASSERT_TRUE(qEnvironmentVariableIsEmpty(SessionConfiguration::extraCaFileVariable));
    auto refused = run(NetworkSession::create(), get(server.url("/")));
    ASSERT_TRUE(refused.has_value());
    EXPECT_FALSE(refused->ok());

    qputenv(SessionConfiguration::extraCaFileVariable,
            (test::FakeHttpsServer::certificatesDirectory() + QStringLiteral("/test-ca.pem")).toUtf8());
    // Another server: the failed handshake above must not be what is looked at again.
    test::FakeHttpsServer second;
    second.onAny([](const test::FakeRequest&) { return test::FakeResponse::empty(200); });
    auto trusted = run(NetworkSession::create(), get(second.url("/")));
    EXPECT_EQ(SessionConfiguration::processExtraAuthorities().size(), 1);

    // A file that is not there trusts nothing and breaks nothing.
    qputenv(SessionConfiguration::extraCaFileVariable, "/nonexistent/ca.pem");
    EXPECT_TRUE(SessionConfiguration::environmentAuthorities().isEmpty());
    qunsetenv(SessionConfiguration::extraCaFileVariable);
    ASSERT_TRUE(trusted.has_value());
    EXPECT_TRUE(trusted->ok()) << (trusted->ok() ? "" : trusted->error().message.toStdString());
    EXPECT_TRUE(SessionConfiguration::standard().extraCaCertificates.isEmpty());
}

// Each request asks for the environment's authorities; parsing the file each time cost
// the main thread milliseconds per booking.
TEST(NetworkSession, TheAuthorityFileIsReadAgainOnlyOnceItChanged) {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("extra-ca.pem"));
    const auto fileOf = [](const QString& name) {
        QFile file(test::FakeHttpsServer::certificatesDirectory() + QLatin1Char('/') + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray authority = fileOf(QStringLiteral("test-ca.pem"));
    const QByteArray other = fileOf(QStringLiteral("untrusted-server.pem"));
    ASSERT_FALSE(authority.isEmpty());
    ASSERT_NE(authority.size(), other.size());
    struct stat written {};
    const auto write = [&](const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(bytes), bytes.size());
        file.close();
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &written), 0);
    };
    const auto setModified = [&](timespec when) {
        const timespec times[2] = {when, when};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    };
    struct VariableGuard {
        ~VariableGuard() { qunsetenv(SessionConfiguration::extraCaFileVariable); }
    } unset;
    qputenv(SessionConfiguration::extraCaFileVariable, QFile::encodeName(path));

    write(authority);
    const QList<QByteArray> first = SessionConfiguration::environmentAuthorities();
    ASSERT_EQ(first.size(), 1);
    EXPECT_EQ(first.front(), QSslCertificate::fromData(authority, QSsl::Pem).value(0).toDer());

    // Other bytes of the same size, with the time they were written put back: the file
    // looks unchanged, so what was read stands (read again, it would trust nothing).
    const timespec before = written.st_mtim;
    write(QByteArray(authority.size(), 'x'));
    setModified(before);
    EXPECT_EQ(SessionConfiguration::environmentAuthorities(), first);

    // Changed in size alone, its time put back too: read again.
    write(other);
    setModified(before);
    const QList<QByteArray> changed = SessionConfiguration::environmentAuthorities();
    ASSERT_EQ(changed.size(), 1);
    EXPECT_NE(changed.front(), first.front());

    // The same size, written later: read again, and it holds no certificate.
    const timespec earlier = written.st_mtim;
    write(QByteArray(other.size(), 'x'));
    setModified({earlier.tv_sec + 1, earlier.tv_nsec});
    EXPECT_TRUE(SessionConfiguration::environmentAuthorities().isEmpty());
}

// The try-out authority file is read as the snapshot files are: a regular file of bounded size,
// opened without waiting, off the main thread (a FIFO hung a Save, /dev/zero ended the app); what
// is refused is said once, and the requests go on without it.
TEST(NetworkSession, TheAuthorityFileIsARegularFileOfBoundedSizeReadOffTheMainThread) {
    QTemporaryDir folder;
    const QString fifo = folder.filePath(QStringLiteral("fifo.pem"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString large = folder.filePath(QStringLiteral("large.pem"));
    QFile sparse(large);
    ASSERT_TRUE(sparse.open(QIODevice::WriteOnly) && sparse.resize(600LL * 1024 * 1024));
    static std::vector<std::pair<QString, bool>> warnings; // text, from the main thread
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
        warnings.emplace_back(text, QThread::currentThread() == qApp->thread());
    });
    struct Restore {
        QtMessageHandler handler;
        ~Restore() {
            qInstallMessageHandler(handler);
            qunsetenv(SessionConfiguration::extraCaFileVariable);
        }
    } restore{previous};
    test::LoopbackImageServer server(Scheme::Http);
    server.serve("/ping", ImageAnswer::image("{}", "application/json"));
    auto session = NetworkSession::create();
    for (const QString& path : {fifo, QStringLiteral("/dev/zero"), large}) {
        qputenv(SessionConfiguration::extraCaFileVariable, QFile::encodeName(path));
        warnings.clear();
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 2; ++i) {
            const auto outcome = run(session, get(server.url(QStringLiteral("/ping"))));
            ASSERT_TRUE(outcome.has_value() && outcome->ok()) << path.toStdString();
        }
        EXPECT_LT(clock.elapsed(), 5000) << path.toStdString();
        const auto told = std::count_if(warnings.begin(), warnings.end(),
                                        [&](const auto& warning) { return warning.first.contains(path); });
        EXPECT_EQ(told, 1) << path.toStdString();
        EXPECT_TRUE(std::none_of(warnings.begin(), warnings.end(), [](const auto& w) { return w.second; }))
            << "read on the main thread";
    }
}

// The transport's library and the thirty it brings (directory look-ups, a second TLS library,
// compression) cost a start a tenth of a bare window's: they load with the first request.
namespace {
bool transportLoaded() {
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("/libcurl.so");
}
// As the program starts, before any test ran.
const bool transportLoadedAtStart = transportLoaded();
} // namespace

TEST(NetworkSession, TheTransportsLibraryIsLoadedByTheFirstRequestNotAtStart) {
    EXPECT_FALSE(transportLoadedAtStart);
    auto refused = run(NetworkSession::create(), get(QUrl(QStringLiteral("http://127.0.0.1:1/"))));
    ASSERT_TRUE(refused.has_value());
    EXPECT_TRUE(transportLoaded());
}

// The try-out file is read by the transport's own TLS library: Qt's TLS back ends, which
// no connection of the app uses, stay unloaded (they cost the running app about a
// megabyte, and set that library up a second time).
TEST(NetworkSession, TheAuthorityFileIsReadWithoutLoadingQtsTlsBackEnds) {
    const auto tlsPluginsLoaded = [] {
        QFile maps(QStringLiteral("/proc/self/maps"));
        return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("/plugins/tls/");
    };
    if (tlsPluginsLoaded()) {
        GTEST_SKIP() << "an earlier test of this process loaded them (ctest runs each test on its own)";
    }
    struct VariableGuard {
        ~VariableGuard() { qunsetenv(SessionConfiguration::extraCaFileVariable); }
    } unset;
    qputenv(SessionConfiguration::extraCaFileVariable,
            (test::FakeHttpsServer::certificatesDirectory() + QStringLiteral("/test-ca.pem")).toUtf8());
    // Nothing listens there: the request fails at once, after its authorities were read.
    auto refused = run(NetworkSession::create(), get(QUrl(QStringLiteral("https://127.0.0.1:1/"))));
    ASSERT_TRUE(refused.has_value());
    EXPECT_FALSE(refused->ok());
    EXPECT_FALSE(tlsPluginsLoaded());
}

TEST(NetworkSession, StalledAndOverlongRequestsTimeOut) {
    test::FakeHttpsServer server;
    server.on("GET", "/slow", test::FakeResponse::json("{}").withDelay(3000));

    auto stalled = trusting();
    stalled.requestTimeout = 200ms;
    auto outcome = run(NetworkSession::create(stalled), get(server.url("/slow")), 2500);
    ASSERT_TRUE(outcome.has_value()) << "the stall time-out did not fire";
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().kind, TransportError::Kind::TimedOut);

    auto overlong = trusting();
    overlong.resourceTimeout = 300ms;
    outcome = run(NetworkSession::create(overlong), get(server.url("/slow")), 2500);
    ASSERT_TRUE(outcome.has_value()) << "the overall time-out did not fire";
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().kind, TransportError::Kind::TimedOut);

    // The request's own time-out applies when it is the shorter one.
    auto request = get(server.url("/slow"));
    request.timeout = 200ms;
    outcome = run(NetworkSession::create(trusting()), request, 2500);
    ASSERT_TRUE(outcome.has_value()) << "the request's time-out did not fire";
    EXPECT_FALSE(outcome->ok());
}

TEST(NetworkSession, CancellingAbortsTheRequest) {
    test::FakeHttpsServer server;
    server.on("GET", "/slow", test::FakeResponse::json("{}").withDelay(1500));
    server.on("GET", "/fast", test::FakeResponse::json("{}"));
    auto session = NetworkSession::create(trusting());
    bool delivered = false;
    auto running = session->send(get(server.url("/slow"))).subscribe([&](Outcome) { delivered = true; });
    ASSERT_TRUE(test::waitUntil([&] { return server.requestCount() == 1; }));
    running.cancel();
    // The client hangs up long before the server would have answered.
    EXPECT_TRUE(test::waitUntil([&] { return server.closedConnections() == 1; }, 1000));
    // What the hang-up ended is handled before a later request's answer is.
    auto later = run(session, get(server.url("/fast")));
    ASSERT_TRUE(later.has_value() && later->ok());
    EXPECT_FALSE(delivered);
}

TEST(NetworkSession, BrokenAnswersAreTransportFailures) {
    test::FakeHttpsServer server;
    server.on("GET", "/garbage", test::FakeResponse::garbage());
    server.on("GET", "/hangup", test::FakeResponse::noAnswer());
    auto session = NetworkSession::create(trusting());

    auto outcome = run(session, get(server.url("/garbage")));
    ASSERT_TRUE(outcome.has_value());
    EXPECT_FALSE(outcome->ok());

    outcome = run(session, get(server.url("/hangup")));
    ASSERT_TRUE(outcome.has_value());
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().kind, TransportError::Kind::ConnectionFailed);

    // Nothing listens on a port that was just freed.
    quint16 port;
    {
        test::FakeHttpsServer gone;
        port = gone.port();
    }
    outcome = run(session, get(QUrl(QStringLiteral("https://127.0.0.1:%1/").arg(port))));
    ASSERT_TRUE(outcome.has_value());
    EXPECT_FALSE(outcome->ok());
}

TEST(NetworkSession, AnUnusableUrlSendsNothing) {
    std::optional<Outcome> outcome;
    auto running = NetworkSession::create()->send(get(QUrl())).subscribe([&](Outcome r) { outcome = r; });
    ASSERT_TRUE(outcome.has_value());
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().kind, TransportError::Kind::InvalidRequest);
}

TEST(NetworkSession, AHeaderThatWouldSplitTheRequestIsNeverSent) {
    // A token that came by link may hold anything; Qt would write a line break in it
    // as it is, adding headers (or a whole request) of the sender's choosing.
    test::FakeHttpsServer server;
    server.on("GET", "/x", test::FakeResponse::json("{}"));

    auto config = trusting();
    config.headers.emplace_back("Authorization", "Bearer abc\r\nX-Injected: yes");
    auto outcome = run(NetworkSession::create(config), get(server.url("/x")));
    ASSERT_TRUE(outcome.has_value());
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().kind, TransportError::Kind::InvalidRequest);
    EXPECT_FALSE(outcome->error().message.contains("abc")) << "the message never repeats a token";

    for (const QByteArray& value : {QByteArray("a\nb"), QByteArray("a\rb"), QByteArray("a\0b", 3)}) {
        HttpRequest request = get(server.url("/x"));
        request.setHeader("X-Value", value);
        outcome = run(NetworkSession::create(trusting()), request);
        ASSERT_TRUE(outcome.has_value());
        ASSERT_FALSE(outcome->ok());
        EXPECT_EQ(outcome->error().kind, TransportError::Kind::InvalidRequest);
    }
    test::drainEvents();
    EXPECT_EQ(server.requestCount(), 0);

    // Ordinary values still go out.
    HttpRequest plain = get(server.url("/x"));
    plain.setHeader("X-Value", "a b: c");
    outcome = run(NetworkSession::create(trusting()), plain);
    ASSERT_TRUE(outcome.has_value() && outcome->ok());
    EXPECT_EQ(server.lastRequest().header("X-Value"), "a b: c");
}

TEST(NetworkSession, APostIsNeverSentTwice) {
    // Qt would quietly send a request again when the connection closes before the
    // answer; a booking the server may already have applied must not go twice.
    test::FakeHttpsServer server;
    server.on("POST", "/book", test::FakeResponse::noAnswer());
    server.on("POST", "/big", [](const test::FakeRequest& r) {
        return test::FakeResponse::text(QByteArray::number(r.body.size()));
    });
    auto session = NetworkSession::create(trusting());

    HttpRequest booking = get(server.url("/book"));
    booking.method = "POST";
    booking.body = QByteArray(R"({"timeSpentSeconds":60})");
    auto outcome = run(session, booking);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_FALSE(outcome->ok());

    // A body of any size still goes out whole.
    HttpRequest big = get(server.url("/big"));
    big.method = "POST";
    big.body = QByteArray(700 * 1024, 'x');
    outcome = run(session, big);
    ASSERT_TRUE(outcome.has_value() && outcome->ok());
    EXPECT_EQ(outcome->value().body, QByteArray::number(700 * 1024));
    EXPECT_EQ(server.lastRequest().header("Content-Length"), QByteArray::number(700 * 1024));
    // Sent again, the booking would have come before the request that followed it.
    EXPECT_EQ(server.requestsTo(QStringLiteral("/book")).size(), 1);
}

// A POST's redirect is its answer: following a 302 or 303 would repeat it as a GET,
// whose answer (a sign-in page) would stand for the POST's. A GET still follows one on
// its own server.
TEST(NetworkSession, APostsRedirectIsItsAnswerNeverFollowed) {
    test::FakeHttpsServer server;
    server.on("GET", "/login", test::FakeResponse::signInPage());
    server.on("GET", "/moved", test::FakeResponse::redirect(server.url("/login").toEncoded()));
    for (const int status : {301, 302, 303, 307, 308}) {
        SCOPED_TRACE(status);
        server.on("POST", "/book", test::FakeResponse::redirect(server.url("/login").toEncoded(), status));
        auto session = NetworkSession::create(trusting());
        HttpRequest booking = get(server.url("/book"));
        booking.method = "POST";
        booking.body = QByteArray(R"({"timeSpentSeconds":60})");
        const auto outcome = run(session, booking);
        ASSERT_TRUE(outcome.has_value() && outcome->ok());
        EXPECT_EQ(outcome->value().statusCode, status);
        EXPECT_TRUE(server.requestsTo("/login").isEmpty()) << "the POST was followed";
    }
    const auto followed = run(NetworkSession::create(trusting()), get(server.url("/moved")));
    ASSERT_TRUE(followed.has_value() && followed->ok());
    EXPECT_EQ(followed->value().statusCode, 200);
    EXPECT_EQ(server.requestsTo("/login").size(), 1);
}

TEST(NetworkSession, ABookingGoesOnAConnectionOfItsOwnAndOneTheServerDropsIsNotSentAgain) {
    // A connection kept open after an earlier read is one the server may be closing, or one
    // a late answer to that read is still to come on: a booking never goes on it. The server
    // takes the booking and closes its connection without answering: it may have booked it,
    // and sending it again on a new connection could book twice.
    test::FakeHttpsServer server;
    server.on("GET", "/projects", test::FakeResponse::json("[]"));
    server.on("POST", "/worklog", test::FakeResponse::noAnswer());
    auto session = NetworkSession::create(trusting());

    auto read = run(session, get(server.url("/projects")));
    ASSERT_TRUE(read.has_value() && read->ok());
    HttpRequest booking = get(server.url("/worklog"));
    booking.method = "POST";
    booking.body = QByteArray(R"({"timeSpentSeconds":3600})");
    auto outcome = run(session, booking);
    ASSERT_TRUE(outcome.has_value());
    ASSERT_FALSE(outcome->ok()) << "an unanswered booking is a failure, never a success";
    // Sent again, the booking would have come before a read that follows it.
    read = run(session, get(server.url("/projects")));
    ASSERT_TRUE(read.has_value() && read->ok());

    int posts = 0;
    for (const auto& request : server.requests()) {
        posts += request.method == "POST" ? 1 : 0;
    }
    EXPECT_EQ(posts, 1);
    // The booking went on a connection of its own; the read after it on the first one.
    EXPECT_NE(server.requests().at(0).peerPort, server.requests().at(1).peerPort);
    EXPECT_EQ(server.requests().at(0).peerPort, server.requests().at(2).peerPort);
}

// Every write (any method but GET and HEAD) goes as a booking does: on a connection of its own,
// never a kept one a stray answer may wait on, and never sent again by the transport when the
// server took it and dropped the connection (a DELETE sent twice was answered 404).
TEST(NetworkSession, EveryWriteGoesOnAConnectionOfItsOwnAndIsNeverSentAgain) {
    for (const QByteArray method : {"DELETE", "PUT", "PATCH"}) {
        SCOPED_TRACE(method.constData());
        test::FakeHttpsServer server;
        server.on("GET", "/projects", test::FakeResponse::json("[]"));
        server.on(method, "/worklog/1", test::FakeResponse::noAnswer());
        auto session = NetworkSession::create(trusting());
        ASSERT_TRUE(run(session, get(server.url("/projects")))->ok());
        HttpRequest write = get(server.url("/worklog/1"));
        write.method = method;
        if (method != "DELETE") {
            write.body = QByteArray(R"({"timeSpentSeconds":60})");
        }
        const auto outcome = run(session, write);
        ASSERT_TRUE(outcome.has_value());
        EXPECT_FALSE(outcome->ok());
        EXPECT_FALSE(outcome->error().neverSent);
        ASSERT_EQ(server.requestsTo(QStringLiteral("/worklog/1"), method).size(), 1);
        EXPECT_NE(server.requests().at(0).peerPort, server.requestsTo(QStringLiteral("/worklog/1"), method).at(0).peerPort);
    }
}

TEST(NetworkSession, KeepsNoCookies) {
    test::FakeHttpsServer server;
    server.on("GET", "/login",
              test::FakeResponse::empty(200).withHeader("Set-Cookie", "session=account-a; Path=/"));
    server.on("GET", "/next", test::FakeResponse::empty(200));
    auto session = NetworkSession::create(trusting());
    ASSERT_TRUE(run(session, get(server.url("/login")))->ok());
    ASSERT_TRUE(run(NetworkSession::create(trusting()), get(server.url("/next")))->ok());
    EXPECT_FALSE(server.lastRequest().hasHeader("Cookie"));
}

TEST(NetworkSession, SessionsThatTrustDifferentAuthoritiesNeverShareAConnection) {
    test::FakeHttpsServer server;
    server.onAny([](const test::FakeRequest&) { return test::FakeResponse::empty(200); });
    auto trustingSession = NetworkSession::create(trusting());
    auto strictConfig = trusting();
    strictConfig.extraCaCertificates.clear();
    auto strictSession = NetworkSession::create(strictConfig);

    // A connection that the trusting session opened, kept alive, must not carry the
    // strict session's requests past the certificate check it never made.
    for (int round = 0; round < 4; ++round) {
        auto trusted = run(trustingSession, get(server.url("/trusted")));
        ASSERT_TRUE(trusted.has_value());
        ASSERT_TRUE(trusted->ok()) << qPrintable(trusted->error().description());
        auto strict = run(strictSession, get(server.url("/strict")));
        ASSERT_TRUE(strict.has_value());
        ASSERT_FALSE(strict->ok()) << "round " << round << ": answered " << strict->value().statusCode;
        EXPECT_EQ(strict->error().kind, TransportError::Kind::TlsFailure);
    }
    EXPECT_EQ(server.requestCount(), 4);
}

// A body is kept only up to its limit: one that announces more, or grows past it
// without announcing its length, fails as too large instead of filling memory.
TEST(NetworkSession, ABodyOverItsLimitIsAnErrorNotAnAllocation) {
    test::FakeHttpsServer server;
    const QByteArray big(2 * 1024 * 1024, 'x');
    server.on("GET", "/announced", test::FakeResponse::text(big));
    server.on("GET", "/unannounced",
              test::FakeResponse::garbage("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + big));
    server.on("GET", "/fits", test::FakeResponse::text(QByteArray(512 * 1024, 'y')));
    auto config = trusting();
    config.maxBodySize = 1024 * 1024;
    auto session = NetworkSession::create(config);

    for (const char* path : {"/announced", "/unannounced"}) {
        auto outcome = run(session, get(server.url(path)));
        ASSERT_TRUE(outcome.has_value()) << path;
        ASSERT_FALSE(outcome->ok()) << path << ": " << outcome->value().body.size() << " bytes kept";
        EXPECT_EQ(outcome->error().kind, TransportError::Kind::TooLarge) << path;
    }
    auto outcome = run(session, get(server.url("/fits")));
    ASSERT_TRUE(outcome.has_value() && outcome->ok());
    EXPECT_EQ(outcome->value().body.size(), 512 * 1024);

    // A body that grows past the limit and then stops without ending is cut off as it
    // passes the limit, not kept until the server ends it or the time runs out.
    server.on("GET", "/stalls",
              test::FakeResponse::garbage("HTTP/1.1 200 OK\r\n\r\n" + big).withoutHangingUp());
    auto patient = config;
    patient.requestTimeout = test::scaled(std::chrono::seconds(8));
    patient.resourceTimeout = test::scaled(std::chrono::seconds(8));
    QElapsedTimer clock;
    clock.start();
    auto stalled = run(NetworkSession::create(patient), get(server.url("/stalls")));
    ASSERT_TRUE(stalled.has_value());
    ASSERT_FALSE(stalled->ok());
    EXPECT_EQ(stalled->error().kind, TransportError::Kind::TooLarge);
    EXPECT_LT(clock.elapsed(), test::scaledMs(4000)) << "well before the time runs out";

    // A request may set its own, smaller limit.
    auto request = get(server.url("/fits"));
    request.maxBodySize = 1000;
    outcome = run(session, request);
    ASSERT_TRUE(outcome.has_value());
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().kind, TransportError::Kind::TooLarge);
}

// The app holds the main thread's requests until its first window is on screen: none
// leaves before the release, each leaves after it, and one cancelled meanwhile never
// does. Another thread's request is not held.
TEST(NetworkSession, HeldRequestsLeaveOnReleaseAndCancelledOnesNever) {
    test::FakeHttpsServer server;
    server.onAny([](const test::FakeRequest&) { return test::FakeResponse::empty(200); });
    auto session = NetworkSession::create(trusting());
    std::optional<Outcome> fromWorker;
    WorkerThread worker;
    MainThreadHold hold;
    std::vector<QByteArray> answered;
    auto first =
        session->send(get(server.url("/first"))).subscribe([&](Outcome) { answered.push_back("first"); });
    auto dropped =
        session->send(get(server.url("/dropped"))).subscribe([&](Outcome) { answered.push_back("x"); });
    auto second =
        session->send(get(server.url("/second"))).subscribe([&](Outcome) { answered.push_back("second"); });
    dropped.cancel();

    // From another thread: sent at once, while the main thread's wait.
    worker.post([&] {
        worker.sent = session->send(get(server.url("/worker"))).subscribe([&](Outcome r) {
            fromWorker = std::move(r);
        });
    });
    EXPECT_TRUE(test::waitUntil([&] { return server.requestCount() == 1; }, 5000));
    test::drainEvents();
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_TRUE(answered.empty());

    NetworkSession::releaseMainThreadRequests();
    ASSERT_TRUE(test::waitUntil([&] { return answered.size() == 2; }, 10000));
    // Each on a connection of its own: the answers may come in either order.
    std::sort(answered.begin(), answered.end());
    EXPECT_EQ(answered, (std::vector<QByteArray>{"first", "second"}));
    EXPECT_EQ(server.requestCount(), 3);
    // Released, a request leaves at once again.
    EXPECT_TRUE(run(session, get(server.url("/after"))).has_value());
}

// A server that answers "200 OK" and then a head that never ends (one line that never
// ends, or lines that never stop) at loopback speed, with the session's default time-outs.
// The booking ends within seconds as an answer that could not be read: the server may
// have stored it, so it is never "not sent". The client reads a bounded part of the
// flood, and a request to a sound server beside it is answered meanwhile.
TEST_P(AHeadThatNeverEnds, EndsABookingAsUnreadableWithinSecondsAndHoldsNoOtherRequest) {
    test::LoopbackImageServer hostile(GetParam().scheme);
    hostile.serve("/worklog", ImageAnswer::endlessHeader(GetParam().manyLines));
    test::LoopbackImageServer sound(GetParam().scheme);
    sound.serve("/projects", ImageAnswer::image(R"({"values":[]})", "application/json"));
    auto session = NetworkSession::create(trusting());

    std::optional<Outcome> booked;
    std::optional<Outcome> read;
    QElapsedTimer clock;
    clock.start();
    auto sending =
        session->send(booking(hostile.url("/worklog"))).subscribe([&](Outcome r) { booked = std::move(r); });
    ASSERT_TRUE(test::waitUntil([&] { return hostile.requestCount("/worklog") == 1 || booked; }, 5000));
    auto reading =
        session->send(get(sound.url("/projects"))).subscribe([&](Outcome r) { read = std::move(r); });

    EXPECT_TRUE(test::waitUntil([&] { return read.has_value(); }, 3000))
        << "a sound server's answer waited behind the endless head";
    ASSERT_TRUE(test::waitUntil([&] { return booked.has_value(); }, 5000))
        << "no outcome after " << clock.elapsed() << " ms; the server sent " << hostile.bytesSent()
        << " bytes";
    ASSERT_FALSE(booked->ok()) << "answered " << booked->value().statusCode;
    EXPECT_EQ(booked->error().kind, TransportError::Kind::ProtocolFailure)
        << qPrintable(booked->error().description());
    EXPECT_FALSE(booked->error().neverSent) << "the booking reached the server, which may have stored it";
    // What the client took of the flood: its bound, with the server's own queue (some
    // megabytes kept ready on the connection) and the kernel's buffers on top.
    EXPECT_LT(hostile.bytesSent(), 24 * 1024 * 1024);
    ASSERT_TRUE(read.has_value());
    ASSERT_TRUE(read->ok()) << qPrintable(read->error().description());
    EXPECT_EQ(read->value().statusCode, 200);
    EXPECT_EQ(read->value().body, R"({"values":[]})");
}

INSTANTIATE_TEST_SUITE_P(NetworkSession, AHeadThatNeverEnds,
                         testing::Values(EndlessHead{Scheme::Http, false}, EndlessHead{Scheme::Http, true},
                                         EndlessHead{Scheme::Https, false}, EndlessHead{Scheme::Https, true}),
                         nameOf);

// A head whose lines come slowly never stalls and stays long below its size bound: its time
// bound ends it (the shorter of its own and the stall bound), long before the request's whole
// time would.
TEST(NetworkSession, AHeadThatTricklesEndsAtItsTimeBound) {
    test::LoopbackImageServer server(Scheme::Http);
    server.serve("/worklog", ImageAnswer::trickledEndlessHeader(200));
    auto config = trusting();
    config.requestTimeout = test::scaled(std::chrono::milliseconds(1500));
    config.resourceTimeout = std::chrono::minutes(2);

    QElapsedTimer clock;
    clock.start();
    const auto outcome = run(NetworkSession::create(config), booking(server.url("/worklog")));
    ASSERT_TRUE(outcome.has_value());
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().kind, TransportError::Kind::TimedOut)
        << qPrintable(outcome->error().description());
    EXPECT_FALSE(outcome->error().neverSent);
    EXPECT_LT(clock.elapsed(), test::scaledMs(6000));
}

// An interim answer (100 Continue, 103 Early Hints with its Link header) is not the
// answer: the final one after it is, with its own headers only.
TEST(NetworkSession, AnInterimAnswerBeforeTheFinalOneIsSkipped) {
    test::LoopbackImageServer server(Scheme::Https);
    for (const int interim : {100, 103}) {
        SCOPED_TRACE(interim);
        server.serve("/worklog", ImageAnswer::image(R"({"id":"7"})", "application/json")
                                     .withHeader("Date", "Tue, 02 Jan 2024 10:00:00 GMT")
                                     .afterInterimAnswer(interim));
        const auto outcome = run(NetworkSession::create(trusting()), booking(server.url("/worklog")));
        ASSERT_TRUE(outcome.has_value());
        ASSERT_TRUE(outcome->ok()) << qPrintable(outcome->error().description());
        EXPECT_EQ(outcome->value().statusCode, 200);
        EXPECT_EQ(outcome->value().body, R"({"id":"7"})");
        EXPECT_EQ(outcome->value().header("Date"), QByteArray("Tue, 02 Jan 2024 10:00:00 GMT"));
        EXPECT_FALSE(outcome->value().header("Link").has_value()) << "the interim answer's header was kept";
    }
    EXPECT_EQ(server.requestCount("/worklog"), 2) << "each booking went once";
}

// The system's proxy settings (here the environment's) carry the requests as they always
// did, and a request to this machine still goes direct.
TEST(NetworkSession, TheSystemsProxyCarriesRequestsAndThisMachineGoesDirect) {
    test::LoopbackImageServer proxy(Scheme::Http);
    const QByteArray proxied = "http://tracker.example.test/rest/api/3/myself";
    proxy.serve(proxied, ImageAnswer::image(R"({"accountId":"a1"})", "application/json"));
    test::LoopbackImageServer local(Scheme::Http);
    local.serve("/ping", ImageAnswer::image("{}", "application/json"));
    struct ProxyVariable {
        explicit ProxyVariable(const QByteArray& value) { qputenv("http_proxy", value); }
        ~ProxyVariable() { qunsetenv("http_proxy"); }
    } variable(proxy.url(QString()).toEncoded());
    auto session = NetworkSession::create();

    auto outcome = run(session, get(QUrl(QString::fromLatin1(proxied))));
    ASSERT_TRUE(outcome.has_value());
    ASSERT_TRUE(outcome->ok()) << qPrintable(outcome->error().description());
    EXPECT_EQ(outcome->value().body, R"({"accountId":"a1"})");
    EXPECT_EQ(proxy.requestCount(proxied), 1);

    outcome = run(session, get(local.url(QStringLiteral("/ping"))));
    ASSERT_TRUE(outcome.has_value());
    ASSERT_TRUE(outcome->ok()) << qPrintable(outcome->error().description());
    EXPECT_EQ(local.requestCount("/ping"), 1);
    EXPECT_EQ(proxy.totalRequestCount(), 1);
}

// Where a write is known to be coming, its connection is opened ahead: the write goes on it, no
// handshake of its own, and on it alone (the next write opens its own).
TEST(NetworkSession, AWriteGoesOnTheConnectionOpenedAheadForItAlone) {
    for (const Scheme scheme : {Scheme::Https, Scheme::Http}) {
        test::LoopbackImageServer server(scheme);
        server.serve("/worklog", ImageAnswer::image(R"({"id":"1"})", "application/json"));
        auto session = NetworkSession::create(trusting());
        HttpRequest booking = get(server.url(QStringLiteral("/worklog")));
        booking.method = "POST";
        booking.body = QByteArray(R"({"timeSpentSeconds":60})");
        session->openAheadFor(booking.url);
        ASSERT_TRUE(test::waitUntil([&] { return server.acceptedConnections() == 1; }, 5000));
        test::waitUntil([] { return false; }, 200); // its handshake done
        for (int write = 1; write <= 2; ++write) {
            const auto outcome = run(session, booking);
            ASSERT_TRUE(outcome.has_value() && outcome->ok()) << (outcome ? outcome->error().description().toStdString() : "");
            EXPECT_EQ(outcome->value().body, R"({"id":"1"})");
            EXPECT_EQ(server.acceptedConnections(), write) << "write " << write;
        }
        EXPECT_EQ(server.requestCount("/worklog"), 2);
        if (scheme == Scheme::Http) {
            // One never used is let go within seconds, as an idle connection is.
            session->openAheadFor(booking.url);
            ASSERT_TRUE(test::waitUntil([&] { return server.acceptedConnections() == 3; }, 5000));
            EXPECT_TRUE(test::waitUntil([&] { return server.openConnections() == 0; }, 8000));
        }
    }
}

// On a connection opened ahead the answer is framed as on any other: by its length, in chunks
// (trailers after them), by the connection's end, or with no body at all.
TEST(NetworkSession, AWritesAnswerOnAConnectionOpenedAheadIsReadInEveryFraming) {
    struct Framing {
        const char* path;
        QByteArray answer;
        QByteArray body;
    };
    const Framing framings[] = {
        {"/length", "HTTP/1.1 201 Created\r\nContent-Length: 8\r\n\r\n{\"id\":1}", R"({"id":1})"},
        {"/chunks", "HTTP/1.1 201 Created\r\nTransfer-Encoding: chunked\r\n\r\n4;x=y\r\n{\"id\r\n5\r\n\":11}\r\n0\r\nX-T: 1\r\n\r\n",
         R"({"id":11})"},
        {"/close", "HTTP/1.1 201 Created\r\nConnection: close\r\n\r\n{\"id\":12}", R"({"id":12})"},
        {"/none", "HTTP/1.1 204 No Content\r\n\r\n", ""},
    };
    test::FakeHttpsServer server;
    for (const Framing& framing : framings) {
        server.on("POST", framing.path, test::FakeResponse::garbage(framing.answer));
    }
    auto session = NetworkSession::create(trusting());
    for (const Framing& framing : framings) {
        SCOPED_TRACE(framing.path);
        HttpRequest booking = get(server.url(QString::fromLatin1(framing.path)));
        booking.method = "POST";
        booking.body = QByteArray(R"({"timeSpentSeconds":60})");
        session->openAheadFor(booking.url);
        test::waitUntil([] { return false; }, 300);
        const auto outcome = run(session, booking);
        ASSERT_TRUE(outcome.has_value() && outcome->ok()) << (outcome ? outcome->error().description().toStdString() : "");
        EXPECT_EQ(outcome->value().body, framing.body);
        EXPECT_EQ(server.requestsTo(QString::fromLatin1(framing.path)).size(), 1);
        EXPECT_EQ(server.requestsTo(QString::fromLatin1(framing.path)).front().body, booking.body);
    }
}

