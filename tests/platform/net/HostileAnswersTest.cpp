#include "platform/net/NetworkSession.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeHttpsServer.h"
#include "tests/support/LoopbackImageServer.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <optional>

using namespace velmora;

namespace {

using Outcome = Result<HttpResponse, TransportError>;
using Scheme = test::LoopbackImageServer::Scheme;
using test::ImageAnswer;

SessionConfiguration trusting() {
    auto config = SessionConfiguration::standard();
    config.extraCaCertificates = test::FakeHttpsServer::trustedCaCertificates();
    return config;
}

HttpRequest booking(const QUrl& url) {
    HttpRequest request;
    request.url = url;
    request.method = "POST";
    request.body = QByteArray(R"({"timeSpentSeconds":3600})");
    request.setHeader("Content-Type", "application/json");
    return request;
}

HttpRequest get(const QUrl& url) {
    HttpRequest request;
    request.url = url;
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

    std::optional<Outcome> outcome;
    QElapsedTimer clock;
    clock.start();
    auto sending =
        NetworkSession::create(config)->send(booking(server.url("/worklog"))).subscribe([&](Outcome r) {
            outcome = std::move(r);
        });
    ASSERT_TRUE(test::waitUntil([&] { return outcome.has_value(); }, 10000));
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
        std::optional<Outcome> outcome;
        auto sending = NetworkSession::create(trusting())
                           ->send(booking(server.url("/worklog")))
                           .subscribe([&](Outcome r) { outcome = std::move(r); });
        ASSERT_TRUE(test::waitUntil([&] { return outcome.has_value(); }, 5000));
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

    std::optional<Outcome> outcome;
    auto sending = session->send(get(QUrl(QString::fromLatin1(proxied)))).subscribe([&](Outcome r) {
        outcome = std::move(r);
    });
    ASSERT_TRUE(test::waitUntil([&] { return outcome.has_value(); }, 5000));
    ASSERT_TRUE(outcome->ok()) << qPrintable(outcome->error().description());
    EXPECT_EQ(outcome->value().body, R"({"accountId":"a1"})");
    EXPECT_EQ(proxy.requestCount(proxied), 1);

    outcome.reset();
    sending = session->send(get(local.url(QStringLiteral("/ping")))).subscribe([&](Outcome r) {
        outcome = std::move(r);
    });
    ASSERT_TRUE(test::waitUntil([&] { return outcome.has_value(); }, 5000));
    ASSERT_TRUE(outcome->ok()) << qPrintable(outcome->error().description());
    EXPECT_EQ(local.requestCount("/ping"), 1);
    EXPECT_EQ(proxy.totalRequestCount(), 1);
}
