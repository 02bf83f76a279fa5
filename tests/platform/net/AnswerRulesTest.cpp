// What a request may be told about itself: refused before it went (a bad request, never sent),
// gone out and lost (never "not sent": the tracker may hold it), or answered in a form that is
// not read (two lengths, a coding not asked for).

#include "platform/net/NetworkSession.h"
#include "tests/support/EventLoop.h"
#include "tests/support/PackedBodies.h"
#include "tests/support/FakeHttpsServer.h"
#include "tests/support/LoopbackImageServer.h"
#include "tests/support/TimeScale.h"
#include "tests/support/UnansweredNames.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <optional>


using namespace velmora;
using test::packed;

namespace {

using Outcome = Result<HttpResponse, TransportError>;
using Kind = TransportError::Kind;
using Scheme = test::LoopbackImageServer::Scheme;
using test::ImageAnswer;

SessionConfiguration trusting() {
    auto config = SessionConfiguration::standard();
    config.extraCaCertificates = test::FakeHttpsServer::trustedCaCertificates();
    return config;
}

std::optional<Outcome> run(HttpRequest request, SessionConfiguration config = trusting(),
                           int waitMs = 10000) {
    std::optional<Outcome> outcome;
    auto running =
        NetworkSession::create(std::move(config))->send(std::move(request)).subscribe([&](Outcome r) {
            outcome = std::move(r);
        });
    test::waitUntil([&] { return outcome.has_value(); }, waitMs);
    return outcome;
}

HttpRequest request(const QUrl& url, const QByteArray& method = "GET") {
    HttpRequest request;
    request.url = url;
    request.method = method;
    if (method == "POST") {
        request.body = QByteArray(R"({"timeSpentSeconds":60})");
        request.setHeader("Content-Type", "application/json");
    }
    return request;
}


} // namespace

// libcurl builds a request's head in a buffer of its own bound and fails past it, after the
// request was handed over: the long URL read as "a line of the answer's head is too long",
// which may have been sent.
TEST(AnswerRules, AUrlPastTheRequestsBoundIsABadRequestNeverSent) {
    test::FakeHttpsServer server;
    server.onAny([](const test::FakeRequest&) { return test::FakeResponse::json("{}"); });
    QUrl url = server.url(QStringLiteral("/search"));
    url.setQuery(QStringLiteral("jql=") + QString(1100 * 1024, QLatin1Char('a')));
    for (const QByteArray method : {"GET", "POST"}) {
        SCOPED_TRACE(method.constData());
        const auto outcome = run(request(url, method));
        ASSERT_TRUE(outcome.has_value());
        ASSERT_FALSE(outcome->ok());
        EXPECT_EQ(outcome->error().kind, Kind::InvalidRequest) << qPrintable(outcome->error().description());
        EXPECT_TRUE(outcome->error().neverSent);
        EXPECT_LT(outcome->error().message.size(), 200) << "the message does not repeat the URL";
    }
    // A long URL within the bound still goes.
    url.setQuery(QStringLiteral("jql=") + QString(6 * 1024, QLatin1Char('a')));
    const auto outcome = run(request(url));
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->ok()) << qPrintable(outcome->error().description());
    EXPECT_EQ(server.requestCount(), 1);
}

// A request that reached the server and got no head back may have been taken (a booking
// stored): it is never called "not sent", whose time would go back to be booked again.
TEST(AnswerRules, ARequestThatWentOutAndGotNoHeadIsNeverCalledNotSent) {
    test::FakeHttpsServer server;
    server.onAny([](const test::FakeRequest&) { return test::FakeResponse::noAnswer(); });
    for (const QByteArray method : {"GET", "POST"}) {
        SCOPED_TRACE(method.constData());
        const auto outcome = run(request(server.url(QStringLiteral("/worklog")), method));
        ASSERT_TRUE(outcome.has_value());
        ASSERT_FALSE(outcome->ok());
        EXPECT_EQ(outcome->error().kind, Kind::ConnectionFailed);
        EXPECT_FALSE(outcome->error().neverSent) << qPrintable(outcome->error().description());
    }
    EXPECT_EQ(server.requestsTo(QStringLiteral("/worklog"), "POST").size(), 1);
    // Nothing listens: nothing went out.
    quint16 port = 0;
    {
        test::FakeHttpsServer gone;
        port = gone.port();
    }
    const auto refused = run(request(QUrl(QStringLiteral("https://127.0.0.1:%1/worklog").arg(port)), "POST"));
    ASSERT_TRUE(refused.has_value());
    ASSERT_FALSE(refused->ok());
    EXPECT_TRUE(refused->error().neverSent) << qPrintable(refused->error().description());
}

// Two lengths that differ frame the body two ways, one of which a box between may have
// taken: the answer is unreadable. The same length twice is one length.
TEST(AnswerRules, TwoDifferentLengthsAreUnreadableFraming) {
    test::FakeHttpsServer server;
    server.on("GET", "/two",
              test::FakeResponse::garbage(
                  "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 12\r\n\r\n{}{\"x\":true}"));
    server.on("GET", "/listed",
              test::FakeResponse::garbage("HTTP/1.1 200 OK\r\nContent-Length: 12, 2\r\n\r\n{}{\"x\":true}"));
    server.on(
        "GET", "/same",
        test::FakeResponse::garbage("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\n{}"));
    for (const char* path : {"/two", "/listed"}) {
        SCOPED_TRACE(path);
        const auto outcome = run(request(server.url(QString::fromLatin1(path))));
        ASSERT_TRUE(outcome.has_value());
        ASSERT_FALSE(outcome->ok()) << "read as " << outcome->value().body.toStdString();
        EXPECT_EQ(outcome->error().kind, Kind::ProtocolFailure);
        EXPECT_FALSE(outcome->error().neverSent);
    }
    const auto same = run(request(server.url(QStringLiteral("/same"))));
    ASSERT_TRUE(same.has_value());
    ASSERT_TRUE(same->ok()) << qPrintable(same->error().description());
    EXPECT_EQ(same->value().body, "{}");
}

// A transfer coding other than chunked ("identity" with a length among them) would be read to
// the connection's close, which a server that keeps it never sends: refused at once.
TEST(AnswerRules, ATransferCodingOtherThanChunkedIsRefusedAtOnce) {
    test::FakeHttpsServer server;
    auto kept = test::FakeResponse::garbage("HTTP/1.1 200 OK\r\nTransfer-Encoding: identity\r\nContent-Length: 2\r\n\r\n{}");
    kept.keepOpen = true;
    server.on("GET", "/identity", kept);
    const auto outcome = run(request(server.url(QStringLiteral("/identity"))), trusting(), 5000);
    ASSERT_TRUE(outcome.has_value()) << "waited for the connection's close";
    ASSERT_FALSE(outcome->ok()) << "read as " << outcome->value().body.toStdString();
    EXPECT_EQ(outcome->error().kind, Kind::ProtocolFailure);
}

// Raw deflate (what some servers send as "deflate"), a zlib stream, and a gzip member followed
// by padding all read; brotli and zstd, never asked for, are refused, their bytes not taken as
// the answer.
TEST(AnswerRules, AskedForCodingsInflateAndOthersAreRefused) {
    test::LoopbackImageServer server(Scheme::Https);
    const QByteArray json = R"({"values":[)" + QByteArray(4000, ' ') + "]}";
    const auto encoded = [](QByteArray bytes, const QByteArray& coding) {
        return ImageAnswer::image(std::move(bytes), "application/json")
            .withHeader("Content-Encoding", coding);
    };
    server.serve("/raw", encoded(packed(json, -15), "deflate"));
    server.serve("/zlib", encoded(packed(json, 15), "deflate"));
    server.serve("/padded", encoded(packed(json, 15 + 16) + QByteArray(64, '\0'), "gzip"));
    server.serve("/br", encoded(json, "br"));
    server.serve("/zstd", encoded(json, "zstd"));
    server.serve("/gzip-br", encoded(json, "gzip, br"));
    for (const char* path : {"/raw", "/zlib", "/padded"}) {
        SCOPED_TRACE(path);
        const auto outcome = run(request(server.url(QString::fromLatin1(path))));
        ASSERT_TRUE(outcome.has_value());
        ASSERT_TRUE(outcome->ok()) << qPrintable(outcome->error().description());
        EXPECT_EQ(outcome->value().body.size(), json.size());
        EXPECT_EQ(outcome->value().body, json);
    }
    for (const char* path : {"/br", "/zstd", "/gzip-br"}) {
        SCOPED_TRACE(path);
        const auto outcome = run(request(server.url(QString::fromLatin1(path))));
        ASSERT_TRUE(outcome.has_value());
        ASSERT_FALSE(outcome->ok()) << "read as " << outcome->value().body.size() << " bytes";
        EXPECT_EQ(outcome->error().kind, Kind::ProtocolFailure);
    }
    const QByteArray asked = server.lastRequestHeader("/raw", "Accept-Encoding");
    EXPECT_EQ(asked, "gzip, deflate");
}

// A tracker's GET follows a redirect on its own server only: its Authorization never reaches
// another host, port or scheme, even one on the same machine.
TEST(AnswerRules, AGetsRedirectToAnotherOriginCarriesNoAuthorization) {
    test::LoopbackImageServer other(Scheme::Http);
    other.serve("/myself", ImageAnswer::image(R"({"accountId":"x"})", "application/json"));
    test::LoopbackImageServer start(Scheme::Http);
    start.serve("/moved", ImageAnswer::redirect(other.url(QStringLiteral("/myself")).toEncoded()));
    start.serve("/here", ImageAnswer::redirect("/myself"));
    start.serve("/myself", ImageAnswer::image(R"({"accountId":"a1"})", "application/json"));
    auto config = trusting();
    config.headers.emplace_back("Authorization", "Bearer secret");
    config.headers.emplace_back("Cookie", "session=secret");

    const auto elsewhere = run(request(start.url(QStringLiteral("/moved"))), config);
    ASSERT_TRUE(elsewhere.has_value());
    EXPECT_FALSE(elsewhere->ok() && elsewhere->value().statusCode == 200);
    EXPECT_TRUE(other.lastRequestHeader("/myself", "Authorization").isEmpty());
    EXPECT_TRUE(other.lastRequestHeader("/myself", "Cookie").isEmpty());

    // On its own server it follows, with what the request carries.
    const auto here = run(request(start.url(QStringLiteral("/here"))), config);
    ASSERT_TRUE(here.has_value());
    ASSERT_TRUE(here->ok()) << qPrintable(here->error().description());
    EXPECT_EQ(here->value().body, R"({"accountId":"a1"})");
    EXPECT_EQ(start.lastRequestHeader("/myself", "Authorization"), "Bearer secret");
}

// A name that never answers holds a tracker request's place no longer than an avatar's
// connection bound (10 s), whatever its stall bound (60 s).
TEST(AnswerRules, ANameThatNeverAnswersEndsAtTheConnectionBound) {
    test::UnansweredNames unanswered;
    auto config = trusting();
    config.requestTimeout = std::chrono::seconds(60);
    QElapsedTimer clock;
    clock.start();
    const auto outcome = run(
        request(QUrl(QStringLiteral("https://tracker.unanswered.test/rest/api/3/myself"))), config, 40000);
    ASSERT_TRUE(outcome.has_value()) << "no outcome after " << clock.elapsed() << " ms";
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(outcome->error().kind, Kind::TimedOut) << qPrintable(outcome->error().description());
    // The connection bound, with room for a busy machine: far below the stall bound.
    EXPECT_GE(clock.elapsed(), 9000);
    EXPECT_LT(clock.elapsed(), std::min(test::scaledMs(20000), 40000));
}
