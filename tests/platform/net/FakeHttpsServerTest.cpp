#include "tests/support/FakeHttpsServer.h"
#include "platform/net/NetworkSession.h"
#include "tests/support/EventLoop.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {

HttpResponse fetch(const std::shared_ptr<NetworkSession>& session, const QUrl& url,
                   QByteArray method = "GET") {
    std::optional<Result<HttpResponse, TransportError>> outcome;
    HttpRequest request;
    request.url = url;
    request.method = std::move(method);
    auto running = session->send(request).subscribe([&](auto r) { outcome = std::move(r); });
    test::waitUntil([&] { return outcome.has_value(); });
    return outcome && outcome->ok() ? outcome->value() : HttpResponse();
}

} // namespace

// The fake server itself, as the connector tests rely on it.
TEST(FakeHttpsServer, RoutesSequencesAndFallback) {
    test::FakeHttpsServer server;
    auto config = SessionConfiguration::standard();
    config.extraCaCertificates = test::FakeHttpsServer::trustedCaCertificates();
    auto session = NetworkSession::create(config);

    server.on(
        "GET", "/seq",
        test::FakeHttpsServer::sequence({test::FakeResponse::empty(401), test::FakeResponse::json("{}")}));
    server.on("*", "/any", test::FakeResponse::empty(204));
    EXPECT_EQ(fetch(session, server.url("/seq")).statusCode, 401);
    EXPECT_EQ(fetch(session, server.url("/seq")).statusCode, 200);
    EXPECT_EQ(fetch(session, server.url("/seq")).statusCode, 200) << "the last answer repeats";
    EXPECT_EQ(fetch(session, server.url("/any"), "PATCH").statusCode, 204);
    EXPECT_EQ(fetch(session, server.url("/nowhere")).statusCode, 404);
    EXPECT_EQ(fetch(session, server.url("/seq"), "POST").statusCode, 404) << "routes match the method";

    // A later route replaces an earlier one; a stateful handler sees every request.
    int calls = 0;
    server.on("GET", "/seq", [&](const test::FakeRequest& r) {
        ++calls;
        return test::FakeResponse::json("{}").withStatus(r.queryValue("n") == "a b+c" ? 201 : 400);
    });
    EXPECT_EQ(fetch(session, server.url("/seq?n=a%20b%2Bc")).statusCode, 201);
    EXPECT_EQ(calls, 1);

    EXPECT_EQ(server.requestCount(), 7);
    EXPECT_EQ(server.lastRequest().rawQuery, "n=a%20b%2Bc");
    EXPECT_TRUE(server.lastRequest().hasQueryItem("n"));
    server.clearRequests();
    EXPECT_EQ(server.requestCount(), 0);
}
